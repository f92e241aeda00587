#pragma once
// Waiting on the main loop in tests of the desktop: GTK, WebKitGTK and the shell's posted work all run there.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string_view>
#include <vector>

#include <unistd.h>

#include <gtk/gtk.h>

#include "app/main.h"
#include "app/window.h"
#include "platform/main_loop.h"

namespace testing_support {

// Turns the main loop until `done` holds; the deadline only bounds a failure.
inline bool spin_until(std::function<bool()> const& done, std::chrono::seconds limit = std::chrono::seconds(60))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, FALSE) || (g_usleep(2000), true);
    return done();
}

// Ends the shell's windows (a closed one still waiting for its page too) and its event proxy, then runs the
// answers and idles already queued for them, so that none outlives the test's fixture.
inline void close_shell_window(shell::ShellState& state)
{
    if (!state.proxy)
        return;
    window::destroy_window(state);
    state.leaving.clear();
    state.proxy->close();
    bool drained = false;
    platform::invoke_on_main([&] { drained = true; });
    spin_until([&] { return drained; });
}

// The last top-level window with this title, or null.
inline GtkWidget* titled_toplevel(std::string_view title)
{
    GList* list = gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* item = list; item; item = item->next) {
        char const* text = gtk_window_get_title(GTK_WINDOW(item->data));
        if (text && text == title)
            found = GTK_WIDGET(item->data);
    }
    g_list_free(list);
    return found;
}

// Every live process below this one (the view's web, network and other helpers), with its short name.
inline std::vector<std::pair<pid_t, std::string>> descendants()
{
    std::map<pid_t, std::pair<pid_t, std::string>> parent_of;
    for (auto const& entry : std::filesystem::directory_iterator("/proc")) {
        pid_t pid = std::atoi(entry.path().filename().c_str());
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (pid <= 0 || !std::getline(stat, line) || line.rfind(')') == std::string::npos)
            continue;
        pid_t parent = 0;
        char state = 0;
        std::sscanf(line.c_str() + line.rfind(')') + 1, " %c %d", &state, &parent);
        if (state != 'Z')
            parent_of[pid] = { parent, line.substr(line.find('(') + 1, line.rfind(')') - line.find('(') - 1) };
    }
    std::vector<std::pair<pid_t, std::string>> found { { getpid(), "" } };
    for (std::size_t i = 0; i < found.size(); ++i)
        for (auto const& [pid, parent] : parent_of)
            if (parent.first == found[i].first)
                found.emplace_back(pid, parent.second);
    found.erase(found.begin());
    return found;
}

}
