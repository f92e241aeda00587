#pragma once
// The surface of the in-game toast: one click-through, always-on-top window that never takes the focus,
// shown over the game with per-pixel alpha. Opened and used on the toast thread only.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace platform {

struct ToastMonitor {
    int left { 0 };
    int top { 0 };
    int width { 0 };
    int height { 0 };
    float scale { 1.0f }; // the monitor's DPI / 96
};

struct ToastFont {
    std::string family; // first choice; the desktop's sans-serif stands in when missing
    int pixel_height { 0 }; // character height in pixels
    int weight { 400 };
};

struct ToastText {
    std::string text;
    ToastFont font;
    int x { 0 };
    int y { 0 };
};

class ToastSurface {
public:
    virtual ~ToastSurface() = default;
    // The monitor of the window in front (the primary one when there is none).
    virtual ToastMonitor foreground_monitor() = 0;
    // Width and height in pixels of the text as drawn.
    virtual std::pair<int, int> measure(std::string_view text, ToastFont const& font) = 0;
    // Coverage (0..255) of the texts drawn in white on black, width x height bytes, top row first.
    virtual std::vector<std::uint8_t> text_mask(int width, int height, std::span<ToastText const> texts) = 0;
    // false when the desktop cannot blend the window with what lies below it: the caller then draws no
    // shadow and the window is cut to the capsule's shape.
    virtual bool translucent() const = 0;
    // Shows (or updates) the window at (x, y) with premultiplied blue, green, red, alpha pixels.
    // `opaque_rows` (used only when not translucent): per row, the [begin, end) columns to keep.
    virtual void show(int x, int y, int width, int height, std::span<std::uint8_t const> bgra,
                      std::span<std::pair<int, int> const> opaque_rows)
        = 0;
    virtual void hide() = 0;
};

struct ToastDriver {
    std::string_view name;
    Result<std::unique_ptr<ToastSurface>> (*open)();
};

std::span<ToastDriver const> toast_drivers();

}
