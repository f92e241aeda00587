#include "platform/paths.h"

#include <cstdlib>
#include <system_error>

namespace paths {

static std::optional<std::filesystem::path> absolute_env(char const* name)
{
    char const* value = std::getenv(name);
    if (!value || value[0] != '/')
        return std::nullopt;
    return std::filesystem::path(value);
}

std::optional<std::filesystem::path> home_dir()
{
    return absolute_env("HOME");
}

std::filesystem::path temp_dir()
{
    std::error_code ec;
    auto dir = std::filesystem::temp_directory_path(ec);
    if (ec || dir.empty() || !dir.is_absolute())
        return "/tmp";
    return dir;
}

static std::filesystem::path base_dir(char const* variable, std::filesystem::path const& under_home)
{
    if (auto dir = absolute_env(variable))
        return *dir;
    if (auto home = home_dir())
        return *home / under_home;
    return temp_dir() / under_home;
}

std::filesystem::path config_home()
{
    return base_dir("XDG_CONFIG_HOME", ".config");
}
std::filesystem::path data_home()
{
    return base_dir("XDG_DATA_HOME", std::filesystem::path(".local") / "share");
}
std::filesystem::path cache_home()
{
    return base_dir("XDG_CACHE_HOME", ".cache");
}

std::filesystem::path config_dir()
{
    return config_home() / app_folder_name;
}
std::filesystem::path data_dir()
{
    return data_home() / app_folder_name;
}
std::filesystem::path cache_dir()
{
    return cache_home() / app_folder_name;
}

std::vector<std::filesystem::path> own_dirs()
{
    return { config_dir(), data_dir(), cache_dir() };
}

std::optional<std::filesystem::path> runtime_dir()
{
    return absolute_env("XDG_RUNTIME_DIR");
}

}
