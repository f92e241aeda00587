#pragma once
// The main thread's event loop (a GLib main loop, which GTK windows share). Everything that touches a
// window, the web view or the tray runs on it; other threads only post work to it.

#include <functional>

namespace platform {

// Runs the loop on the calling (main) thread until quit_main_loop(); returns then.
void run_main_loop();
// Makes run_main_loop() return. Main thread only.
void quit_main_loop();
// Any thread: wakes the main loop and runs fn there once. Never blocks.
void invoke_on_main(std::function<void()> fn);
// SIGTERM, SIGINT and SIGHUP call fn on the main thread instead of ending the process.
void on_termination_signals(std::function<void()> fn);

}
