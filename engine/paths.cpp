#include "engine/paths.h"

#include <cstdlib>
#include <string>
#include <system_error>

#include "core/file_io.h"

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

std::optional<std::filesystem::path> runtime_dir()
{
    return absolute_env("XDG_RUNTIME_DIR");
}

static std::string_view skip_blanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    return text;
}

std::optional<std::filesystem::path> parse_user_dir(
    std::string_view text, std::string_view key, std::optional<std::filesystem::path> const& home)
{
    std::optional<std::filesystem::path> found;
    while (!text.empty()) {
        auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

        line = skip_blanks(line);
        if (!line.starts_with(key))
            continue;
        line = skip_blanks(line.substr(key.size()));
        if (!line.starts_with('='))
            continue;
        line = skip_blanks(line.substr(1));
        if (!line.starts_with('"'))
            continue;
        line.remove_prefix(1);
        auto close = line.rfind('"');
        if (close == std::string_view::npos)
            continue;
        std::string_view value = line.substr(0, close);

        std::filesystem::path dir;
        if (value.starts_with("$HOME")) {
            if (!home)
                continue;
            value.remove_prefix(5);
            while (value.starts_with('/'))
                value.remove_prefix(1);
            dir = value.empty() ? *home : *home / value;
        } else if (value.starts_with('/')) {
            dir = value;
        } else {
            continue;
        }
        std::string native = dir.native();
        while (native.size() > 1 && native.back() == '/')
            native.pop_back();
        found = std::filesystem::path(native);
    }
    return found;
}

std::filesystem::path videos_dir()
{
    auto home = home_dir();
    if (auto text = files::read_text(config_home() / "user-dirs.dirs")) {
        if (auto dir = parse_user_dir(*text, "XDG_VIDEOS_DIR", home))
            return *dir;
    }
    if (home)
        return *home / "Videos";
    return temp_dir();
}

}
