#pragma once
// Waiting on the main loop in tests of the desktop: GTK, WebKitGTK and the shell's posted work all run there.

#include <chrono>
#include <functional>
#include <string_view>

#include <gtk/gtk.h>

namespace testing_support {

// Turns the main loop until `done` holds; the deadline only bounds a failure.
inline bool spin_until(std::function<bool()> const& done, std::chrono::seconds limit = std::chrono::seconds(60))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, FALSE) || (g_usleep(2000), true);
    return done();
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

}
