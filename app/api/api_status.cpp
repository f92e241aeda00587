// The three methods that read or change the engine as a whole: "status" (polled every second, so each lock
// is held only to copy a few fields, never two at once), "caps" (costly: probes encoders and devices, so
// its answer is kept 20 s) and "settings" (a whole new settings object, saved and then applied in order).

#include "app/api/api.h"

#include <algorithm>
#include <cmath>

#include "app/api/page_server.h"
#include "app/hotkeys.h"
#include "app/main.h"
#include "engine/audio.h"
#include "engine/engine.h"
#include "engine/video.h"
#include "library/library.h"
#include "library/settings.h"
#include "platform/paths.h"

namespace api {

namespace {

using json = nlohmann::json;
using ticks::Ticks;

Ticks ring_span(ring::Ring const& ring)
{
    if (ring.samples.empty())
        return 0;
    return ring.samples.back().time - ring.samples.front().time;
}

// The bitrate the encoder would get for what is captured now; before the first frame the sizes are zero, and
// the smallest picture stands in for them.
std::uint32_t status_bitrate(std::uint32_t width, std::uint32_t height, std::uint32_t fps, Codec codec,
                             settings::Quality quality)
{
    return video::encoder_bitrate(
        std::max(width, 2u), std::max(height, 2u), std::max(fps, 1u), quality, video::codec_factor(codec));
}

json optional_text(std::optional<std::string> const& text) { return text ? json(*text) : json(nullptr); }

}

// -- status ------------------------------------------------------------------------------------------------

json status_value(engine::Engine& engine)
{
    auto& shared = *engine.shared;
    auto status = shared.status.copy();
    auto settings = engine.settings_copy();
    auto recording_start = engine.recording.with([](std::optional<engine::RecordingSlot> const& slot) {
        return slot ? std::optional<Ticks>(slot->start) : std::nullopt;
    });
    std::uint64_t recording_secs = 0;
    if (recording_start) {
        Ticks elapsed = ticks::now() - *recording_start;
        recording_secs = elapsed > 0 ? std::uint64_t(elapsed / ticks::ticks_per_second) : 0;
    }

    struct Buffer {
        Ticks buffered { 0 };
        std::uint64_t memory { 0 };
        std::uint64_t total { 0 };
    };
    auto buffer = shared.rings.with([](shared::Rings const& rings) {
        Buffer b;
        // Audio is not counted in the buffered time: it never extends the video that a clip can hold.
        b.buffered = ring_span(rings.video);
        b.memory = rings.video.memory_bytes + rings.audio.memory_bytes;
        b.total = rings.video.total_bytes + rings.audio.total_bytes;
        for (auto const& segment : rings.segments) {
            b.buffered += ring_span(segment.ring);
            b.memory += segment.ring.memory_bytes;
            b.total += segment.ring.total_bytes;
        }
        return b;
    });
    std::uint64_t frames = shared.frames.load(std::memory_order_relaxed);
    std::uint64_t drops = shared.drops.load(std::memory_order_relaxed);

    json failed = json::array();
    if (auto keys = engine.hotkeys.copy()) {
        for (auto& label : keys->failed_keys())
            failed.push_back(std::move(label));
    }
    bool waiting = !engine::video_pipeline_running(engine);
    auto levels = shared.level_history.copy();

    auto codec = status.codec.value_or(settings.codec);
    json value {
        { "running", status.running },
        { "recording", recording_start.has_value() },
        { "recordingSecs", recording_secs },
        { "bufferedSecs", double(buffer.buffered) / double(ticks::ticks_per_second) },
        { "memoryBytes", buffer.memory },
        { "diskBytes", buffer.total > buffer.memory ? buffer.total - buffer.memory : 0 },
        { "width", status.width },
        { "height", status.height },
        { "fps", status.fps },
        { "encoder", status.encoder },
        { "codec", status.codec ? json(std::string(settings::codec_name(*status.codec))) : json(nullptr) },
        { "bitrate", status_bitrate(status.width, status.height, status.fps, codec, settings.quality) },
        { "frames", frames },
        { "drops", drops },
        { "failedKeys", std::move(failed) },
        { "error", optional_text(status.error) },
        { "waiting", waiting },
    };
    return json { { "status", std::move(value) }, { "levels", json(std::vector<unsigned>(levels.begin(), levels.end())) } };
}

// -- caps --------------------------------------------------------------------------------------------------

Caps build_caps(Platform const& platform, std::optional<std::string> const& monitor)
{
    Caps caps;
    if (platform.capture && platform.capture->monitors) {
        if (auto monitors = platform.capture->monitors())
            caps.monitors = std::move(*monitors);
    }
    std::ranges::stable_sort(caps.monitors, std::greater<> {}, &platform::MonitorInfo::primary);
    auto chosen = std::ranges::find_if(caps.monitors, [&](auto const& m) { return monitor && m.name == *monitor; });
    if (chosen == caps.monitors.end() && !caps.monitors.empty())
        chosen = caps.monitors.begin();
    if (chosen != caps.monitors.end()) {
        caps.monitor_width = chosen->width;
        caps.monitor_height = chosen->height;
        caps.monitor_hz = chosen->refresh;
    }
    // The encoders are tried for real: a codec is offered only when one of its encoders opens here. Without
    // any monitor there is nothing to capture, so nothing to offer.
    if (platform.encoder && video::pick_monitor(caps.monitors, monitor)) {
        auto codecs = video::probe_encoders(*platform.encoder);
        std::ranges::sort(codecs);
        for (auto codec : codecs)
            caps.codecs.emplace_back(settings::codec_name(codec));
    }
    if (platform.audio) {
        if (auto list = audio::list_endpoints(*platform.audio, 1))
            caps.microphones = std::move(*list);
        if (auto list = audio::list_endpoints(*platform.audio, 0))
            caps.outputs = std::move(*list);
    }
    return caps;
}

json audio_devices_to_value(std::vector<platform::AudioDevice> const& devices)
{
    json list = json::array();
    for (auto const& device : devices)
        list.push_back(json { { "id", device.id }, { "name", device.name }, { "isDefault", device.is_default } });
    return list;
}

json caps_to_value(Caps const& caps)
{
    json monitors = json::array();
    for (auto const& m : caps.monitors) {
        monitors.push_back(json {
            { "id", m.name }, { "width", m.width }, { "height", m.height }, { "hz", m.refresh }, { "primary", m.primary } });
    }
    return json {
        { "codecs", caps.codecs },
        { "monitorWidth", caps.monitor_width },
        { "monitorHeight", caps.monitor_height },
        { "monitorHz", caps.monitor_hz },
        { "monitors", std::move(monitors) },
        { "microphones", audio_devices_to_value(caps.microphones) },
        { "outputs", audio_devices_to_value(caps.outputs) },
    };
}

json caps_value(App& app)
{
    auto key = app.engine->settings.with([](settings::Settings const& s) { return s.monitor; });
    auto now = std::chrono::steady_clock::now();
    auto cached = app.caps_cache.with([&](std::optional<CapsCache> const& cache) {
        std::shared_ptr<Caps const> record;
        if (cache && cache->record && cache->key == key
            && (now < cache->taken_at || now - cache->taken_at < caps_lifetime))
            record = cache->record;
        return record;
    });
    if (cached)
        return caps_to_value(*cached);
    // Built outside the cache lock: two calls at once may both build, and the later store wins.
    auto record = std::make_shared<Caps const>(build_caps(app.platform, key));
    app.caps_cache.set(CapsCache { key, now, record });
    return caps_to_value(*record);
}

// -- settings ----------------------------------------------------------------------------------------------

namespace {

bool capture_changed(settings::Settings const& a, settings::Settings const& b)
{
    return a.resolution != b.resolution || a.fps != b.fps || a.codec != b.codec || a.quality != b.quality
        || a.monitor != b.monitor;
}

bool audio_changed(settings::Settings const& a, settings::Settings const& b)
{
    return a.game_audio != b.game_audio || a.mic_audio != b.mic_audio || a.mic_device != b.mic_device
        || a.output_device != b.output_device;
}

Result<void> write_autostart(Platform const& platform, bool on)
{
    auto written = platform.executable.empty() ? library::set_autostart(on, platform.autostart_home)
                                               : library::set_autostart(on, platform.autostart_home, platform.executable);
    if (!written)
        return fail(fmt::format("Démarrage avec la session : {}", written.error()));
    return {};
}

bool recording_runs(engine::Engine& engine)
{
    return engine.recording.with([](std::optional<engine::RecordingSlot> const& slot) { return slot.has_value(); });
}

}

ApiResult apply_settings(engine::Engine& engine, Platform const& platform, json const& params)
{
    auto parsed = TRY(settings::settings_from_value(params));
    // Checked before sanitising, which would quietly put the default folder in place of the player's choice.
    // The program's own folders are read now: they follow the XDG variables, as the program's files do.
    auto const own = paths::own_dirs();
    if (parsed.clips_dir)
        TRY_VOID(settings::check_clips_dir(*parsed.clips_dir, own));
    auto next = settings::sanitize(std::move(parsed), own);
    // The page sends one call per change without waiting for the last reply: two changes never interleave.
    auto change = engine.settings_change.lock();
    auto old = engine.settings_copy();
    if (next == old)
        return state_value(engine);
    bool capture = capture_changed(old, next);
    bool sound = audio_changed(old, next);

    // Everything that can fail runs first, and the change is applied only once settings.json holds it: a
    // failure leaves memory, file, clips folder and autostart entry as they were.
    auto old_folder = library::resolve_clips_dir(old.clips_dir, platform.videos_dir);
    auto new_folder = library::resolve_clips_dir(next.clips_dir, platform.videos_dir);
    std::optional<std::filesystem::path> switch_to;
    if (new_folder != old_folder) {
        if (!next.clips_dir)
            TRY_VOID_AS("Dossier des clips : {}", files::ensure_own_folder(new_folder));
        switch_to = TRY_AS("Dossier des clips : {}", library::ensure_meta_dir(new_folder));
    }
    bool autostart = next.autostart != old.autostart;
    if (autostart)
        TRY_VOID(write_autostart(platform, next.autostart));
    if (auto saved = settings::save(engine.settings_path, next); !saved) {
        if (autostart)
            (void)write_autostart(platform, old.autostart);
        return fail(std::move(saved).error());
    }

    if (switch_to)
        engine.clips_folder.set(std::make_shared<std::filesystem::path const>(std::move(*switch_to)));
    // The recording finishes as a clip before the capture it records is rebuilt.
    if (capture && recording_runs(engine)) {
        if (engine.actions.toggle_recording)
            engine.actions.toggle_recording(engine.shared_from_this());
        engine::wait_recording_finished(engine);
    }
    engine.settings.set(next);

    if (auto keys = engine.hotkeys.copy())
        keys->apply(next);
    engine.shared->game_volume.store(next.game_volume);
    engine.shared->mic_volume.store(next.mic_volume);
    engine::apply_ring_budget(*engine.shared, next);
    engine::restart_pipelines(engine, next,
        { .video = capture ? engine::Restart::Yes : engine::Restart::No,
          .audio = sound ? engine::Restart::Yes : engine::Restart::No });
    if (next.keep_days != old.keep_days || next.max_gb != old.max_gb)
        engine::apply_retention(engine);
    engine.notify(engine::PageEvent { engine::PageEvent::SettingsChanged {} });
    return state_value(engine);
}

}
