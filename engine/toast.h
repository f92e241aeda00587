#pragma once
// The in-game toast: a dark capsule that slides in at the top of the screen for about three seconds to
// confirm a save or report a failure, without taking the focus. Any thread posts a message into one
// process-wide slot (the latest wins); the "quillmar-toast" thread owns the window and draws every frame
// on the CPU with per-pixel alpha.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/toast_window.h"

namespace engine {
class Engine;
}

namespace toast {

// A success shows the green accent, a failure the red one.
enum class Kind : std::uint8_t { Ok, Failure };

struct ToastMessage {
    std::string title;
    std::string subtext;
    Kind kind { Kind::Ok };
};

struct Rgb {
    float r, g, b;
};

// Everything one toast needs to draw its frames; made once per message.
struct ToastState {
    std::chrono::steady_clock::time_point start;
    int width { 0 };
    int height { 0 };
    float scale { 1.0f };
    float pill_width { 0 };
    float pill_height { 0 };
    float dot_x { 0 };
    int split_x { 0 };
    Rgb accent { 0, 0, 0 };
    std::vector<std::uint8_t> mask; // width x height text coverage
    int x { 0 };
    int y { 0 };
    bool shadow { true };
};

// Replaces the slot's message and wakes the toast thread once its window exists. Any thread.
void post(Kind kind, std::string title, std::string subtext);
// Posts a success toast only when the player keeps in-game toasts on.
void notify(engine::Engine& engine, std::string title, std::string subtext);
// The slot's current message (for the thread, and for tests).
ToastMessage current_message();

// The geometry of a toast for measured title and subtext sizes (subtext size 0x0 when there is none).
struct Geometry {
    int width, height;
    float pill_width, pill_height, dot_x;
    int title_x, title_y, split_x, subtext_y;
    int x, y; // window position on the screen
};
Geometry layout(platform::ToastMonitor const& monitor, std::pair<int, int> title_size,
                std::pair<int, int> subtext_size);

platform::ToastFont title_font(float scale);
platform::ToastFont subtext_font(float scale);

// The animation at t seconds after the message arrived: p the spring (0 small, 1 at rest), a the global
// fade, b the text fade; over once the toast is gone.
struct Frame {
    float p, a, b;
    bool over;
};
Frame animate(float t);
// Milliseconds until the next frame must be drawn, for a t that is not over.
int next_frame_delay_ms(float t);

// The state of a laid-out toast: its geometry, scale and accent, with an empty text mask.
ToastState state_from(Geometry const& geometry, float scale, Kind kind);
// Builds the state for a message on a surface (measures, lays out, renders the text mask).
ToastState prepare(platform::ToastSurface& surface, ToastMessage const& message,
                   std::chrono::steady_clock::time_point now);
// Draws the frame at t into premultiplied BGRA pixels (width x height x 4).
void render(ToastState const& state, Frame const& frame, std::span<std::uint8_t> bgra);
// For a surface that cannot blend: per row, the columns the capsule covers at rest.
std::vector<std::pair<int, int>> capsule_rows(ToastState const& state);

using SurfaceOpener = std::function<Result<std::unique_ptr<platform::ToastSurface>>()>;
// Tries the drivers in order (the program passes the system's table).
SurfaceOpener first_surface(std::span<platform::ToastDriver const> drivers);

// Body of "quillmar-toast". Ends at once when no surface can be opened (no toast will ever show).
void toast_thread(SurfaceOpener open);

}
