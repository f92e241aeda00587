#include "engine/saver.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "library/naming.h"
#include "engine/thumbnail.h"
#include "engine/toast.h"

namespace engine {

namespace {

constexpr Ticks one_second = ticks::ticks_per_second;
constexpr int cut_attempts = 3;

// The video of one ring in the span, from the keyframe at or before start, when it holds at least 1 s.
std::optional<std::vector<ring::Sample>> video_in_span(ring::Ring const& ring, Ticks start, Ticks end)
{
    if (ring.samples.empty() || ring.samples.back().time < start)
        return std::nullopt;
    auto video = ring.samples_from_keyframe(start, end);
    if (video.empty() || video.back().time - video.front().time < one_second)
        return std::nullopt;
    return video;
}

void fail_save(Engine& engine, std::string const& text)
{
    toast::post(toast::Kind::Failure, "Clip non gardé", text);
    engine.notify(PageEvent { PageEvent::Error { text } });
}

void handle(Engine& engine, SaveRequest& request)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(save_flush_delay_ms));
    Ticks start = request.end - static_cast<Ticks>(request.secs) * one_second;
    auto parts = collect_parts(*engine.shared, start, request.end);
    if (parts.empty()) {
        bool running = engine.video_pipeline.with([](auto const& handle) { return handle.has_value(); });
        fail_save(engine, running ? "Le tampon est encore vide" : "Aucun jeu à l'écran");
        return;
    }
    auto folder = engine.clips_dir();

    std::optional<shared::Thumbnail> image;
    channel::RecvStatus status;
    if (auto received = request.thumbnail.recv_for(std::chrono::milliseconds(thumbnail_wait_ms), &status))
        image = std::move(received);

    auto stamp = local_stamp();
    auto clock = title_clock(stamp);

    library::restore_clips_dir(folder);
    std::size_t n = parts.size();
    std::vector<library::Clip> kept;
    for (std::size_t i = 0; i < n; ++i) {
        std::string title_suffix = n == 1 ? "" : fmt::format(" ({}/{})", i + 1, n);
        std::string name_suffix = n == 1 ? "" : fmt::format(" partie {}", i + 1);
        auto name = clip_file_name(folder, request.game, stamp + name_suffix);
        auto& part = parts[i];
        mp4::ClipMedia media { part.config, std::move(part.video), std::move(part.audio) };
        auto written = mp4::write_mp4_file(folder, name.id(), media, clip_audio);
        if (!written) {
            fail_save(engine, written.error());
            return;
        }
        write_thumbnail(image, folder, name.id());
        library::Clip clip;
        clip.id = name.id();
        clip.title = fmt::format("{} {}{}", request.game, clock, title_suffix);
        clip.game = request.game;
        clip.created = unix_seconds_now();
        clip.secs = static_cast<double>(written->duration_ticks) / static_cast<double>(one_second);
        clip.bytes = written->bytes;
        clip.width = part.config.width;
        clip.height = part.config.height;
        clip.favorite = false;
        clip.recording = false;
        if (auto saved = library::save_clip_metadata(folder, clip); !saved) {
            fail_save(engine, saved.error());
            return;
        }
        kept.push_back(std::move(clip));
    }

    if (n == 1)
        toast::notify(engine, "Clip gardé",
                      fmt::format("{} · {}", format_duration(kept[0].secs), format_size(kept[0].bytes)));
    else
        toast::notify(engine, fmt::format("{} clips gardés", n), "La qualité a changé entre-temps");
    for (auto& clip : kept)
        engine.notify(PageEvent { PageEvent::ClipSaved { std::move(clip) } });
    apply_retention(engine);
}

}

std::vector<SavePart> collect_parts(shared::Shared& shared, Ticks start, Ticks end,
                                    std::function<void()> const& after_cut)
{
    bool has_current = false;
    auto parts = shared::cut_with_config(
        shared, cut_attempts,
        [&](shared::Rings& rings, std::optional<mp4::VideoConfig> const& config) {
            std::vector<SavePart> cut;
            for (auto const& segment : rings.segments) {
                auto video = video_in_span(segment.ring, start, end);
                if (!video)
                    continue;
                auto audio_end = std::min(end, video->back().time);
                auto audio = rings.audio.samples_between(video->front().time, audio_end);
                cut.push_back({ segment.config, std::move(*video), std::move(audio) });
            }
            has_current = false;
            if (config) {
                if (auto video = video_in_span(rings.video, start, end)) {
                    auto audio = rings.audio.samples_between(video->front().time, end);
                    cut.push_back({ *config, std::move(*video), std::move(audio) });
                    has_current = true;
                }
            }
            return cut;
        },
        after_cut);
    // The stream kept changing under the cut: keep only the closed segments, whose descriptions are their own.
    if (!parts.stable && has_current)
        parts.cut.pop_back();
    return std::move(parts.cut);
}

void write_thumbnail(std::optional<shared::Thumbnail> const& image, std::filesystem::path const& folder,
                     std::string_view id)
{
    if (image)
        (void)thumbnail::write_jpeg(*image, folder, id); // dropped on purpose: see the header
}

void save_last_seconds(Engine& engine, std::uint32_t secs)
{
    Ticks end = ticks::now();
    Ticks start = end - static_cast<Ticks>(secs) * one_second;
    auto game = engine.game_between(start, end);
    auto thumbnail = shared::request_thumbnail(*engine.shared);
    engine.save_requests.send(SaveRequest { std::move(thumbnail), std::move(game), end, secs });
}

void saver_loop(channel::Receiver<SaveRequest> requests, std::weak_ptr<Engine> weak)
{
    while (auto request = requests.recv()) {
        if (request->drained) {
            request->drained->send(true);
            continue;
        }
        auto engine = weak.lock();
        if (!engine)
            return;
        handle(*engine, *request);
    }
}

std::string local_stamp() { return local_stamp_at(std::chrono::system_clock::now()); }

std::string local_stamp_at(std::chrono::system_clock::time_point when)
{
    auto seconds = std::chrono::system_clock::to_time_t(when);
    std::tm t {};
    localtime_r(&seconds, &t);
    return fmt::format("{:04}-{:02}-{:02} {:02}-{:02}-{:02}", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                       t.tm_min, t.tm_sec);
}

std::string title_clock(std::string_view stamp)
{
    return fmt::format("{}h{}", stamp.substr(11, 2), stamp.substr(14, 2));
}

std::int64_t unix_seconds_now()
{
    auto seconds
        = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    return seconds > 0 ? seconds : 0;
}

}
