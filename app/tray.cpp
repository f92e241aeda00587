#include "app/tray.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <fmt/format.h>

#include "app/main.h"

namespace tray {

namespace {

constexpr int samples = 4; // per side of a pixel, for soft edges

struct Point {
    double x, y;
};

// Whether a point lies in the 28 x 28 square with corners of radius 8 that leaves a 2-pixel margin.
bool in_square(Point p)
{
    constexpr double lo = 2, hi = 30, radius = 8;
    if (p.x < lo || p.x >= hi || p.y < lo || p.y >= hi)
        return false;
    double cx = std::clamp(p.x, lo + radius, hi - radius);
    double cy = std::clamp(p.y, lo + radius, hi - radius);
    return std::hypot(p.x - cx, p.y - cy) <= radius;
}

// The stroke: a cubic curve from near the square's top right down to its bottom, bending one way then the
// other, about 3.5 pixels wide.
std::array<Point, 65> const& stroke_curve()
{
    static std::array<Point, 65> const curve = [] {
        std::array<Point, 65> points {};
        constexpr Point a { 23, 4 }, b { 27, 14 }, c { 8, 18 }, d { 13, 30 };
        for (std::size_t i = 0; i < points.size(); ++i) {
            double t = double(i) / double(points.size() - 1), u = 1 - t;
            points[i] = { u * u * u * a.x + 3 * u * u * t * b.x + 3 * u * t * t * c.x + t * t * t * d.x,
                          u * u * u * a.y + 3 * u * u * t * b.y + 3 * u * t * t * c.y + t * t * t * d.y };
        }
        return points;
    }();
    return curve;
}

bool in_stroke(Point p)
{
    constexpr double half_width = 1.75;
    return std::ranges::any_of(stroke_curve(),
                               [&](Point q) { return std::hypot(p.x - q.x, p.y - q.y) <= half_width; });
}

std::array<std::uint8_t, icon_size * icon_size * 4> make_icon()
{
    std::array<std::uint8_t, icon_size * icon_size * 4> pixels {};
    for (int y = 0; y < icon_size; ++y) {
        for (int x = 0; x < icon_size; ++x) {
            int square = 0, stroke = 0;
            for (int sy = 0; sy < samples; ++sy) {
                for (int sx = 0; sx < samples; ++sx) {
                    Point p { x + (sx + 0.5) / samples, y + (sy + 0.5) / samples };
                    if (in_square(p)) {
                        ++square;
                        stroke += in_stroke(p);
                    }
                }
            }
            // The stroke's lower half is a darker red.
            bool lower = y >= 18;
            double red = stroke / double(square ? square : 1);
            auto mix = [&](int dark, int bright, int deep) { return std::lround(dark + (lower ? deep - dark : bright - dark) * red); };
            auto* px = &pixels[std::size_t(y * icon_size + x) * 4];
            px[0] = std::uint8_t(mix(23, 232, 219));
            px[1] = std::uint8_t(mix(24, 70, 67));
            px[2] = std::uint8_t(mix(27, 60, 58));
            px[3] = std::uint8_t(std::lround(255.0 * square / (samples * samples)));
        }
    }
    return pixels;
}

}

std::string open_label() { return fmt::format("Ouvrir {}", tooltip); }

std::span<std::uint8_t const> icon_rgba()
{
    static auto const pixels = make_icon();
    return pixels;
}

void on_menu_event(shell::EventProxy& proxy, std::string_view item)
{
    if (item == open_item)
        (void)proxy.send({ shell::UserEvent::Show {} });
    else if (item == quit_item)
        (void)proxy.send({ shell::UserEvent::Quit {} });
}

void on_tray_event(shell::EventProxy& proxy, platform::TrayClick click)
{
    if (click.button == platform::TrayButton::Left && click.up)
        (void)proxy.send({ shell::UserEvent::Show {} });
}

void show_icon(shell::ShellState& state)
{
    state.tray.reset();
    if (!state.desktop || !state.proxy)
        return;
    platform::TraySpec spec;
    spec.id = "quillmar";
    spec.title = std::string(tooltip);
    spec.tooltip = std::string(tooltip);
    spec.icon_rgba = icon_rgba();
    spec.icon_size = icon_size;
    spec.icon_folder = state.icon_folder;
    spec.open_label = open_label();
    spec.quit_label = std::string(quit_label);
    spec.on_menu = [proxy = state.proxy](std::string_view item) { on_menu_event(*proxy, item); };
    spec.on_click = [proxy = state.proxy](platform::TrayClick click) { on_tray_event(*proxy, click); };
    if (auto icon = state.desktop->open_tray(std::move(spec)))
        state.tray = std::move(*icon);
}

void drop_icon(shell::ShellState& state) { state.tray.reset(); }

}
