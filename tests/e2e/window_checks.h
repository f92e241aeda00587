#pragma once
// The desktop seen from outside, for the window and tray tests: commands' output, the program's main window
// and menus found with xdotool and xwininfo, and the messages a window manager sends. Test main thread.

#include <string>
#include <vector>

#include <sys/types.h>

#include "tests/support/media_check.h"

namespace e2e {

using namespace std::chrono_literals;

// What the shell command printed.
std::string output_of(std::string const& command);
using media::poll_until;

// The program's main window (the one with the minimum size; the toast and the tray icon share its name), mapped
// or, with `mapped_only` false, merely existing; 0 when there is none.
unsigned long main_window(pid_t pid, bool mapped_only = true);
// A mapped pop-up menu of the program, 0 when none shows.
unsigned long shown_menu();
bool window_exists(unsigned long window);
// A number field of xwininfo ("Width", "Absolute upper-left X"); -1 when missing.
int xwininfo_field(unsigned long window, std::string const& field);

// The window manager's close button (WM_DELETE_WINDOW), and its _NET_WM_STATE requests.
void close_window(unsigned long window);
void add_state(unsigned long window, char const* first, char const* second = nullptr);

// A helper process of the test (tray, watcher), its output in `log`; killed and reaped when destroyed.
class Helper {
public:
    Helper(std::vector<std::string> argv, std::string log);
    ~Helper();
    Helper(Helper const&) = delete;
    Helper& operator=(Helper const&) = delete;
    std::string output() const;

private:
    pid_t m_pid { -1 };
    std::string m_log;
};

}
