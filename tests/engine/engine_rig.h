#pragma once
// An Engine for the engine, saver and recording tests: real Shared state and clips folder, page events
// collected in a list, a trash that refuses while told to, no real capture. The media helpers fill rings and
// clips with real encoded samples so that outside tools can judge the files written from them.

#include <memory>
#include <vector>

#include "engine/engine.h"
#include "engine/shared.h"
#include "library/library.h"
#include "tests/fakes/fake_trash.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"

namespace engine_rig {

constexpr std::int64_t second = ticks::ticks_per_second;

struct Rig {
    std::shared_ptr<shared::Shared> shared = std::make_shared<shared::Shared>();
    std::shared_ptr<foreground::ForegroundHistory> history = std::make_shared<foreground::ForegroundHistory>();
    std::shared_ptr<threads::Locked<std::vector<engine::PageEvent>>> events
        = std::make_shared<threads::Locked<std::vector<engine::PageEvent>>>();
    std::shared_ptr<fakes::FakeTrash> trash;
    channel::Receiver<engine::SaveRequest> requests;
    // Called on the notifying thread before an event is listed.
    std::shared_ptr<std::function<void(engine::PageEvent const&)>> before_listing
        = std::make_shared<std::function<void(engine::PageEvent const&)>>();

    std::shared_ptr<engine::Engine> make(std::filesystem::path const& folder, engine::PipelineBodies bodies = {},
        settings::Settings settings = {}, engine::Actions actions = {})
    {
        auto [tx, rx] = channel::make<engine::SaveRequest>();
        requests = std::move(rx);
        trash = std::make_shared<fakes::FakeTrash>(folder / "bin");
        engine::EngineParts parts;
        parts.save_requests = std::move(tx);
        parts.settings_path = folder / "settings.json";
        parts.shared = shared;
        parts.history = history;
        parts.games_stop = std::make_shared<std::atomic<bool>>(false);
        parts.notifier = [events = events, hook = before_listing](engine::PageEvent event) {
            if (*hook)
                (*hook)(event);
            events->with([&](auto& list) { list.push_back(std::move(event)); });
        };
        parts.settings = std::move(settings);
        parts.clips_folder = folder;
        parts.trash = trash;
        parts.bodies = std::move(bodies);
        parts.actions = std::move(actions);
        parts.detect_foreground = [] {
            return foreground::ForegroundInfo { "Valorant", foreground::ForegroundKind::Game };
        };
        return std::make_shared<engine::Engine>(std::move(parts));
    }

    // Waits (bounded) until `count` events arrived: the writer thread empties its slot before it tells the page.
    std::vector<engine::PageEvent> wait_events(std::size_t count)
    {
        media::poll_until([&] { return events->copy().size() >= count; });
        return events->copy();
    }
};

template <class T> std::vector<T> events_of(std::vector<engine::PageEvent> const& events)
{
    std::vector<T> found;
    for (auto const& event : events) {
        if (auto const* value = std::get_if<T>(&event.value))
            found.push_back(*value);
    }
    return found;
}

// 3 s of 320 x 240 H.264 at 30 frames a second with AAC, encoded once per process.
inline test_media::Media const& h264()
{
    static auto media = test_media::encode(Codec::H264, 3, 30, 320, 240);
    EXPECT_TRUE(media) << media.error();
    return *media;
}

// A clips folder with its hidden folder, in a test that the missing outside tools skip.
class MediaFolder : public media::MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(library::ensure_meta_dir(dir()));
    }
};

// Writes the clip `id` of `encoded`, its samples taken through a ring as the saver takes them.
inline Result<mp4::WriteSummary> write_clip(
    std::filesystem::path const& folder, std::string const& id, test_media::Media const& encoded, bool audio = true)
{
    mp4::ClipMedia media { encoded.video, test_media::through_ring(encoded.video_packets),
        audio ? test_media::through_ring(encoded.audio_packets) : std::vector<ring::Sample> {} };
    return mp4::write_mp4_file(folder, id, media, encoded.audio);
}

// ffmpeg and (where installed) GStreamer's qtdemux decode the file without a word.
inline void expect_decodes(std::filesystem::path const& path)
{
    EXPECT_EQ(media::decode_errors(path), "");
    if (media::have_tool("gst-launch-1.0")) {
        EXPECT_EQ(media::gst_errors(path), "");
    }
}

}
