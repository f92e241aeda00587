#include "tests/e2e/window_checks.h"

#include <fstream>
#include <regex>
#include <sstream>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fmt/format.h>

#include "tests/support/media_check.h"

#include <X11/Xlib.h>

extern char** environ;

namespace e2e {

namespace {

// What a window manager does on the close button, and on its maximise and fullscreen commands.
void client_message(unsigned long window, char const* type, std::initializer_list<long> data, bool to_root)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return;
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, type, False);
    event.xclient.format = 32;
    int i = 0;
    for (long value : data)
        event.xclient.data.l[i++] = value;
    XSendEvent(display, to_root ? DefaultRootWindow(display) : window, False,
               to_root ? SubstructureRedirectMask | SubstructureNotifyMask : NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
}

long atom(char const* name)
{
    Display* display = XOpenDisplay(nullptr);
    long value = display ? long(XInternAtom(display, name, False)) : 0;
    if (display)
        XCloseDisplay(display);
    return value;
}

}

std::string output_of(std::string const& command) { return media::run({ "sh", "-c", command }).output; }

unsigned long main_window(pid_t pid, bool mapped_only)
{
    std::istringstream ids(output_of(fmt::format("xdotool search {} --pid {} --name '^quill\\.mar$' 2>/dev/null",
                                                 mapped_only ? "--onlyvisible" : "", pid)));
    for (unsigned long id = 0; ids >> id;) {
        if (output_of(fmt::format("xprop -id {} WM_NORMAL_HINTS", id)).find("minimum size: 960 by 600") != std::string::npos)
            return id;
    }
    return 0;
}

unsigned long shown_menu()
{
    std::istringstream ids(output_of("xdotool search --onlyvisible --class '^quillmar$' 2>/dev/null"));
    for (unsigned long id = 0; ids >> id;) {
        auto info = output_of(fmt::format("xwininfo -id {}", id));
        if (info.find("Override Redirect State: yes") != std::string::npos && xwininfo_field(id, "Absolute upper-left X") >= 0
            && xwininfo_field(id, "Height") > 30)
            return id;
    }
    return 0;
}

int xwininfo_field(unsigned long id, std::string const& field)
{
    std::smatch match;
    auto text = output_of(fmt::format("xwininfo -id {}", id));
    std::regex pattern(field + ":\\s+(-?[0-9]+)");
    return std::regex_search(text, match, pattern) ? std::stoi(match[1]) : -1;
}

bool window_exists(unsigned long window)
{
    return output_of(fmt::format("xwininfo -id {} 2>&1", window)).find("Map State") != std::string::npos;
}

void close_window(unsigned long window)
{
    client_message(window, "WM_PROTOCOLS", { atom("WM_DELETE_WINDOW"), CurrentTime }, false);
}

void add_state(unsigned long window, char const* first, char const* second)
{
    client_message(window, "_NET_WM_STATE", { 1, atom(first), second ? atom(second) : 0, 1 }, true);
}

Helper::Helper(std::vector<std::string> argv, std::string log)
    : m_log(std::move(log))
{
    std::vector<char*> args;
    for (auto& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
}

Helper::~Helper()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

std::string Helper::output() const
{
    std::ifstream in(m_log);
    return { std::istreambuf_iterator<char>(in), {} };
}

}
