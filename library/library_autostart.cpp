// Start at log-in: an XDG autostart desktop entry that runs the program with "--tray".

#include "library/library.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "base/file_io.h"
#include "base/utf8.h"

namespace fs = std::filesystem;

namespace library {

namespace {

constexpr std::string_view entry_name = "quill.mar.desktop";
constexpr std::string_view legacy_entry_name = "Fennow.desktop";
// Keys that the desktop's own session tools write when the player turns the entry off there.
constexpr std::string_view kept_keys[] = { "Hidden", "X-GNOME-Autostart-enabled" };

std::string_view trim(std::string_view text)
{
    auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

// The kept keys of the [Desktop Entry] group of `previous`, as "Key=value" lines; only boolean values, so
// that a damaged entry cannot carry its damage into the new one.
std::string kept_lines(std::string_view previous)
{
    std::string out;
    bool in_main_group = false;
    std::vector<std::string_view> found;
    while (!previous.empty()) {
        auto end = previous.find('\n');
        auto line = trim(previous.substr(0, end));
        previous.remove_prefix(end == std::string_view::npos ? previous.size() : end + 1);
        if (line.starts_with('[')) {
            in_main_group = line == "[Desktop Entry]";
            continue;
        }
        auto equals = line.find('=');
        if (!in_main_group || equals == std::string_view::npos)
            continue;
        auto key = trim(line.substr(0, equals));
        auto value = trim(line.substr(equals + 1));
        for (auto kept : kept_keys) {
            if (key == kept && (value == "true" || value == "false")
                && std::find(found.begin(), found.end(), kept) == found.end()) {
                found.push_back(kept);
                out += fmt::format("{}={}\n", key, value);
            }
        }
    }
    return out;
}

}

Result<std::string> autostart_entry(std::string_view exe, std::string_view previous)
{
    // A desktop entry is UTF-8; a path that is not cannot be written without changing it.
    if (!utf8::is_valid(exe))
        return fail(os_error(EILSEQ));
    // First the command line: the path as one double-quoted argument, in which a quote, a backquote, a
    // dollar and a backslash take a backslash, and a percent is doubled so it is not a field code.
    std::string command = "\"";
    for (char c : exe) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n' && c != '\t' && c != '\r') || byte == 0x7F)
            return fail(os_error(EINVAL));
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            command += '\\';
        else if (c == '%')
            command += '%';
        command += c;
    }
    command += "\" --tray";
    // Then the key file's own escapes, which are undone before the command is split: every backslash
    // doubles again.
    std::string value;
    for (char c : command) {
        switch (c) {
        case '\\':
            value += "\\\\";
            break;
        case '\n':
            value += "\\n";
            break;
        case '\t':
            value += "\\t";
            break;
        case '\r':
            value += "\\r";
            break;
        default:
            value += c;
        }
    }
    return fmt::format("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=quill.mar\n"
                       "Exec={}\n"
                       "Terminal=false\n"
                       "{}",
        value, kept_lines(previous));
}

Result<void> set_autostart(bool on, fs::path const& config_home, fs::path const& exe)
{
    auto folder = config_home / "autostart";
    auto entry = folder / entry_name;
    std::error_code ec;
    if (on) {
        fs::create_directories(folder, ec);
        if (ec)
            return fail(os_error(ec.value()));
    }
    fs::remove(folder / legacy_entry_name, ec);
    if (!on) {
        fs::remove(entry, ec);
        if (ec && ec != std::errc::no_such_file_or_directory)
            return fail(os_error(ec.value()));
        return {};
    }
    std::string previous;
    if (auto text = files::read_text(entry))
        previous = std::move(*text);
    auto text = TRY(autostart_entry(exe.native(), previous));
    return files::atomic_replace(entry, folder / "quill.mar.desktop.tmp", text);
}

Result<void> set_autostart(bool on, fs::path const& config_home)
{
    if (!on)
        return set_autostart(false, config_home, fs::path());
    auto exe = TRY(files::own_executable());
    return set_autostart(true, config_home, exe);
}

}
