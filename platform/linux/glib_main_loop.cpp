#include "platform/main_loop.h"

#include <csignal>
#include <memory>

#include <glib-unix.h>
#include <glib.h>

namespace platform {

namespace {

GMainLoop* main_loop()
{
    // The default context is the one GTK uses, so windows created later share this loop.
    static GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    return loop;
}

gboolean run_once(gpointer data) noexcept
{
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(data));
    try {
        (*fn)();
    } catch (...) {
        // The handler's own failures never take the loop down.
    }
    return G_SOURCE_REMOVE;
}

gboolean on_signal(gpointer data) noexcept
{
    auto* fn = static_cast<std::function<void()>*>(data);
    try {
        (*fn)();
    } catch (...) {
    }
    return G_SOURCE_CONTINUE;
}

}

void run_main_loop() { g_main_loop_run(main_loop()); }

void quit_main_loop() { g_main_loop_quit(main_loop()); }

void invoke_on_main(std::function<void()> fn)
{
    auto* boxed = new std::function<void()>(std::move(fn));
    // Always queued, never run in place: a caller on the main thread must not re-enter its own handler.
    g_idle_add_full(G_PRIORITY_DEFAULT, run_once, boxed, nullptr);
}

void on_termination_signals(std::function<void()> fn)
{
    // Shared by the three sources for the life of the process.
    auto* boxed = new std::function<void()>(std::move(fn));
    for (int number : { SIGTERM, SIGINT, SIGHUP })
        g_unix_signal_add(number, on_signal, boxed);
}

}
