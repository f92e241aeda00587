#include "engine/toast.h"

#include "engine/engine.h"
#include "platform/open_first.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace toast {

namespace {

constexpr Rgb title_colour { 245, 246, 248 };
constexpr Rgb subtext_colour { 168, 171, 178 };
constexpr Rgb fill_colour { 23, 24, 27 };
constexpr Rgb success_accent { 63, 206, 133 };
constexpr Rgb failure_accent { 240, 86, 76 };

constexpr float entrance_end_s = 0.46f;
constexpr float exit_start_s = 2.76f;
constexpr float over_s = 2.98f;

// The process-wide slot and the wake-up of the toast thread (the posted message of the window).
struct Slot {
    std::mutex mutex;
    std::condition_variable wake;
    ToastMessage message;
    bool window_ready { false };
    int posted { 0 };
};

Slot& slot()
{
    static Slot* instance = new Slot; // never destroyed: detached threads may post until the process ends
    return *instance;
}

float clamp01(float v) { return std::clamp(v, 0.0f, 1.0f); }

}

void post(Kind kind, std::string title, std::string subtext)
{
    auto& s = slot();
    {
        std::lock_guard lock(s.mutex);
        s.message = ToastMessage { std::move(title), std::move(subtext), kind };
        if (!s.window_ready)
            return;
        ++s.posted;
    }
    s.wake.notify_all();
}

void notify(engine::Engine& engine, std::string title, std::string subtext)
{
    if (engine.settings.with([](settings::Settings const& s) { return s.in_game_toast; }))
        post(Kind::Ok, std::move(title), std::move(subtext));
}

ToastMessage current_message()
{
    auto& s = slot();
    std::lock_guard lock(s.mutex);
    return s.message;
}

platform::ToastFont title_font(float scale)
{
    return { "Segoe UI Semibold", static_cast<int>(15.0f * scale), 600 };
}

platform::ToastFont subtext_font(float scale) { return { "Segoe UI", static_cast<int>(14.0f * scale), 400 }; }

Geometry layout(platform::ToastMonitor const& monitor, std::pair<int, int> title_size,
                std::pair<int, int> subtext_size)
{
    float s = monitor.scale;
    auto [tw, th] = title_size;
    auto [sw, sh] = subtext_size;
    float gap = sw > 0 ? 9.0f * s : 0.0f;
    float content = 18 * s + 8 * s + 10 * s + static_cast<float>(tw) + gap + static_cast<float>(sw) + 18 * s;
    Geometry g {};
    g.pill_width = content;
    g.pill_height = 42 * s;
    g.width = static_cast<int>(std::ceil(28 * s + 28 * s + content));
    g.height = static_cast<int>(std::ceil(28 * s + 28 * s + 42 * s));
    float left = (static_cast<float>(g.width) - content) * 0.5f;
    g.title_x = static_cast<int>(left + 18 * s + 8 * s + 10 * s);
    g.dot_x = left + 18 * s + 4 * s;
    g.split_x = g.title_x + tw + static_cast<int>(gap);
    g.title_y = (g.height - th) / 2;
    g.subtext_y = (g.height - sh) / 2;
    g.x = monitor.left + (monitor.width - g.width) / 2;
    g.y = monitor.top + static_cast<int>(14 * s) - static_cast<int>((static_cast<float>(g.height) - 42 * s) * 0.5f);
    return g;
}

Frame animate(float t)
{
    if (t < entrance_end_s) {
        float p = 1.0f - std::exp(-7.5f * t) * std::cos(11.0f * t);
        return { p, std::min(t / 0.1f, 1.0f), clamp01((t - 0.12f) / 0.16f), false };
    }
    if (t < exit_start_s)
        return { 1, 1, 1, false };
    if (t < over_s) {
        float u = (t - exit_start_s) / 0.22f;
        return { 1.0f - 0.35f * u * u, 1.0f - u, std::max(1.0f - 2.0f * u, 0.0f), false };
    }
    return { 0, 0, 0, true };
}

int next_frame_delay_ms(float t)
{
    if (t >= entrance_end_s && t < exit_start_s)
        return static_cast<int>((exit_start_s - t) * 1000.0f) + 1;
    return 16;
}

ToastState prepare(platform::ToastSurface& surface, ToastMessage const& message,
                   std::chrono::steady_clock::time_point now)
{
    auto monitor = surface.foreground_monitor();
    float s = monitor.scale;
    auto tfont = title_font(s);
    auto sfont = subtext_font(s);
    auto title_size = surface.measure(message.title, tfont);
    std::pair<int, int> subtext_size { 0, 0 };
    if (!message.subtext.empty())
        subtext_size = surface.measure(message.subtext, sfont);
    auto g = layout(monitor, title_size, subtext_size);

    std::vector<platform::ToastText> texts { { message.title, tfont, g.title_x, g.title_y } };
    if (!message.subtext.empty())
        texts.push_back({ message.subtext, sfont, g.split_x, g.subtext_y });

    auto state = state_from(g, s, message.kind);
    state.start = now;
    state.mask = surface.text_mask(g.width, g.height, texts);
    state.mask.resize(static_cast<std::size_t>(g.width) * g.height, 0);
    state.shadow = surface.translucent();
    return state;
}

ToastState state_from(Geometry const& g, float scale, Kind kind)
{
    ToastState state;
    state.width = g.width;
    state.height = g.height;
    state.scale = scale;
    state.pill_width = g.pill_width;
    state.pill_height = g.pill_height;
    state.dot_x = g.dot_x;
    state.split_x = g.split_x;
    state.accent = kind == Kind::Failure ? failure_accent : success_accent;
    state.mask.assign(static_cast<std::size_t>(g.width) * g.height, 0);
    state.x = g.x;
    state.y = g.y;
    return state;
}

void render(ToastState const& state, Frame const& frame, std::span<std::uint8_t> bgra)
{
    float const s = state.scale;
    float const cx = static_cast<float>(state.width) / 2.0f;
    float const cy = static_cast<float>(state.height) / 2.0f;
    float const hh = (0.18f * frame.p + 0.82f) * state.pill_height / 2.0f;
    float const hw = (0.4f * frame.p + 0.6f) * state.pill_width / 2.0f;
    float const half_segment = std::max(hw - hh, 0.0f);
    float const shadow_reach = 28.0f * s * 0.8f;
    float const dot_radius = 4.0f * s;

    for (int py = 0; py < state.height; ++py) {
        float y = static_cast<float>(py) + 0.5f;
        for (int px = 0; px < state.width; ++px) {
            float x = static_cast<float>(px) + 0.5f;
            float qx = std::max(std::fabs(x - cx) - half_segment, 0.0f);
            float d = std::sqrt(qx * qx + (y - cy) * (y - cy));
            float sd = d - hh;

            // Premultiplied colour in 0..255, alpha in 0..1.
            float r = 0, g = 0, b = 0, alpha = 0;
            if (state.shadow) {
                float dy = y - cy - 6.0f * s;
                float k = 1.0f - clamp01((std::sqrt(qx * qx + dy * dy) - hh) / shadow_reach);
                alpha = 0.42f * k * k;
            }
            float c = clamp01(0.5f - sd);
            if (c > 0) {
                float ca = 0.97f * c;
                r = fill_colour.r * ca + r * (1 - ca);
                g = fill_colour.g * ca + g * (1 - ca);
                b = fill_colour.b * ca + b * (1 - ca);
                alpha = ca + alpha * (1 - ca);

                float light = 0.2858f;
                if (d > 0) {
                    float nx = (x - cx < 0 ? -qx : qx) / d;
                    float ny = (y - cy) / d;
                    light = 0.07f + 0.26f * std::max(0.0f, -0.55f * nx - 0.83f * ny);
                }
                float rim = std::min(1.0f, std::max(0.0f, 1.0f - std::fabs(sd + 0.7f))) * light * c;
                r += (255.0f * alpha - r) * rim;
                g += (255.0f * alpha - g) * rim;
                b += (255.0f * alpha - b) * rim;

                float dx = x - state.dot_x;
                float dyd = y - cy;
                float dot = clamp01(dot_radius - std::sqrt(dx * dx + dyd * dyd) + 0.5f) * frame.b;
                if (dot > 0) {
                    r += (state.accent.r * alpha - r) * dot;
                    g += (state.accent.g * alpha - g) * dot;
                    b += (state.accent.b * alpha - b) * dot;
                }

                float text = c * (static_cast<float>(state.mask[static_cast<std::size_t>(py) * state.width + px]) / 255.0f)
                    * frame.b;
                if (text > 0) {
                    Rgb const& ink = px < state.split_x ? title_colour : subtext_colour;
                    r = ink.r * text + r * (1 - text);
                    g = ink.g * text + g * (1 - text);
                    b = ink.b * text + b * (1 - text);
                    alpha = text + alpha * (1 - text);
                }
            }
            auto store = [&](float v) { return static_cast<std::uint8_t>(std::clamp(v * frame.a, 0.0f, 255.0f)); };
            auto* out = &bgra[(static_cast<std::size_t>(py) * state.width + px) * 4];
            out[0] = store(b);
            out[1] = store(g);
            out[2] = store(r);
            out[3] = store(alpha * 255.0f);
        }
    }
}

std::vector<std::pair<int, int>> capsule_rows(ToastState const& state)
{
    float cx = static_cast<float>(state.width) / 2.0f;
    float cy = static_cast<float>(state.height) / 2.0f;
    float hh = state.pill_height / 2.0f;
    float half_segment = std::max(state.pill_width / 2.0f - hh, 0.0f);
    std::vector<std::pair<int, int>> rows(state.height, { 0, 0 });
    for (int py = 0; py < state.height; ++py) {
        float dy = static_cast<float>(py) + 0.5f - cy;
        if (std::fabs(dy) >= hh)
            continue;
        float reach = half_segment + std::sqrt(hh * hh - dy * dy);
        int begin = std::max(0, static_cast<int>(std::ceil(cx - reach - 0.5f)));
        int end = std::min(state.width, static_cast<int>(std::floor(cx + reach - 0.5f)) + 1);
        if (end > begin)
            rows[py] = { begin, end };
    }
    return rows;
}

SurfaceOpener first_surface(std::span<platform::ToastDriver const> drivers)
{
    return [drivers] { return platform::open_first(drivers, "aucun pilote de notification"); };
}

void toast_thread(SurfaceOpener open)
{
    auto opened = open();
    if (!opened)
        return;
    auto surface = std::move(opened).value();
    auto& s = slot();
    {
        std::lock_guard lock(s.mutex);
        s.window_ready = true;
    }

    std::optional<ToastState> state;
    std::vector<std::uint8_t> pixels;
    std::vector<std::pair<int, int>> rows;
    int seen = 0;
    std::chrono::steady_clock::time_point next_frame {};
    for (;;) {
        ToastMessage message;
        bool fresh = false;
        {
            std::unique_lock lock(s.mutex);
            auto woken = [&] { return s.posted != seen; };
            if (state)
                s.wake.wait_until(lock, next_frame, woken);
            else
                s.wake.wait(lock, woken);
            if (s.posted != seen) {
                seen = s.posted;
                message = s.message;
                fresh = true;
            }
        }
        auto now = std::chrono::steady_clock::now();
        if (fresh) {
            state = prepare(*surface, message, now);
            pixels.assign(static_cast<std::size_t>(state->width) * state->height * 4, 0);
            rows = state->shadow ? std::vector<std::pair<int, int>> {} : capsule_rows(*state);
        }
        if (!state)
            continue;
        if (!fresh && now < next_frame)
            continue;
        float t = std::chrono::duration<float>(now - state->start).count();
        auto frame = animate(t);
        if (frame.over) {
            surface->hide();
            state.reset();
            continue;
        }
        render(*state, frame, pixels);
        surface->show(state->x, state->y, state->width, state->height, pixels, rows);
        next_frame = now + std::chrono::milliseconds(next_frame_delay_ms(t));
    }
}

}
