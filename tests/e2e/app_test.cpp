// The real start-up builder with the real drivers, in the test process, for what the binary cannot show
// from outside: the list of refused shortcuts, and a codec change in the middle of the buffer. A test game
// window of this process is in front; keys are typed with xdotool.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include <fmt/format.h>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include "app/main.h"
#include "platform/linux/lavc_encoder.h"
#include "tests/e2e/program_rig.h"

namespace {

using namespace std::chrono_literals;

class AppRun : public e2e::DesktopRun {
protected:
    void SetUp() override
    {
        DesktopRun::SetUp();
        if (IsSkipped())
            return;
        // The drivers read the folders from the environment, as the program does.
        for (auto const& variable : home.variables()) {
            auto const equals = variable.find('=');
            ::setenv(variable.substr(0, equals).c_str(), variable.c_str() + equals + 1, 1);
        }
        game = std::make_unique<e2e::TestGame>("Partie de test");
        if (auto error = game->start())
            FAIL() << *error;
    }

    void TearDown() override
    {
        if (state.engine)
            shell::quit(state);
        game.reset();
        DesktopRun::TearDown();
    }

    // The engine built from these settings as the program builds it; what it tells the page besides clips and
    // recordings goes to `story`, a line each: its error texts, and every clip's title.
    void start(nlohmann::json const& settings)
    {
        home.write_settings(settings);
        proxy = std::make_shared<shell::EventProxy>([](std::function<void()> fn) { fn(); }, [this](shell::UserEvent event) {
            auto const* page = std::get_if<shell::UserEvent::Page>(&event.value);
            std::lock_guard lock(story_mutex);
            if (auto const* error = page ? std::get_if<engine::PageEvent::Error>(&page->event.value) : nullptr)
                story += "error: " + error->text + "\n";
            if (auto const* clip = page ? std::get_if<engine::PageEvent::ClipSaved>(&page->event.value) : nullptr) {
                story += "clip: " + clip->clip.title + "\n";
                ++clips_told;
            }
        });
        auto engine = shell::init_app_state(home.config_dir(), proxy, shell::default_platform());
        ASSERT_TRUE(engine) << engine.error();
        state.engine = *engine;
    }
    std::string page_story()
    {
        std::lock_guard lock(story_mutex);
        return story;
    }

    // Polls until the encoder has described a stream of this codec.
    bool wait_stream(Codec codec, std::chrono::seconds timeout = 20s)
    {
        return e2e::poll_until([&] {
            auto config = state.engine->shared->video_config.copy();
            return config && config->codec == codec;
        }, timeout);
    }

    std::unique_ptr<e2e::TestGame> game;
    std::shared_ptr<shell::EventProxy> proxy;
    shell::ShellState state;
    std::mutex story_mutex;
    std::string story;
    std::atomic<int> clips_told { 0 };
};

// Another X client holding F8 on the root window, as a desktop shortcut would.
class OtherGrab {
public:
    explicit OtherGrab(std::uint32_t keysym)
        : m_connection(xcb_connect(nullptr, nullptr))
    {
        if (xcb_connection_has_error(m_connection))
            return;
        auto* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        auto* symbols = xcb_key_symbols_alloc(m_connection);
        auto* codes = xcb_key_symbols_get_keycode(symbols, keysym);
        if (codes) {
            auto cookie = xcb_grab_key_checked(m_connection, 1, screen->root, 0, codes[0], XCB_GRAB_MODE_ASYNC,
                                               XCB_GRAB_MODE_ASYNC);
            auto* error = xcb_request_check(m_connection, cookie);
            m_grabbed = error == nullptr;
            std::free(error);
            std::free(codes);
        }
        xcb_key_symbols_free(symbols);
    }
    ~OtherGrab() { xcb_disconnect(m_connection); }
    bool grabbed() const { return m_grabbed; }
    // True once a key press reached this client within the timeout.
    bool wait_press(std::chrono::milliseconds timeout)
    {
        return e2e::poll_until([&] {
            bool press = false;
            while (auto* event = xcb_poll_for_event(m_connection)) {
                press = press || (event->response_type & 0x7f) == XCB_KEY_PRESS;
                std::free(event);
            }
            return press;
        }, timeout);
    }

private:
    xcb_connection_t* m_connection;
    bool m_grabbed { false };
};

// A key another client holds is listed and stays the other client's; the others still work, and F6 saves.
// A codec change in the middle of the buffer makes that save two parts, the older first.
TEST_F(AppRun, KeyHeldByAnotherClientIsListedAndACodecChangeSavesTwoParts)
{
    OtherGrab other(0xffc5); // F8
    ASSERT_TRUE(other.grabbed());
    start(e2e::test_settings(30));
    auto& engine = *state.engine;
    auto handle = engine.hotkeys.copy();
    ASSERT_TRUE(handle);
    EXPECT_TRUE(e2e::poll_until([&] { return !handle->failed_keys().empty(); }));
    EXPECT_EQ(handle->failed_keys(), std::vector<std::string> { "F8" });
    ASSERT_TRUE(wait_stream(Codec::H264)) << "no H.264 stream";
    std::this_thread::sleep_for(3s);

    auto const available = platform::lavc::probe();
    std::size_t const parts = std::ranges::find(available, Codec::Hevc) == available.end() ? 1 : 2;
    if (parts == 2) {
        auto hevc = engine.settings_copy();
        hevc.codec = Codec::Hevc;
        engine.settings.with([&](settings::Settings& current) { current = hevc; });
        {
            auto lock = engine.pipeline_lock.lock();
            engine::stop_video_pipeline(engine);
            engine::spawn_video_pipeline(engine, hevc);
        }
        ASSERT_TRUE(wait_stream(Codec::Hevc)) << "no HEVC stream";
        std::this_thread::sleep_for(3s);
    } else {
        std::fprintf(stderr, "no HEVC encoder opens here: one part only\n");
    }
    e2e::press("F8");
    EXPECT_TRUE(other.wait_press(3s));
    e2e::press("F6");

    auto clips = e2e::wait_clips(home.clips_dir(), parts);
    ASSERT_EQ(clips.size(), parts) << page_story();
    // The ids end with " partie 1" and " partie 2", so the oldest part sorts first.
    char const* const codecs[] = { "h264", "hevc" };
    for (std::size_t i = 0; i < parts; ++i) {
        auto const& clip = clips[i];
        SCOPED_TRACE(clip.id);
        if (parts == 2) {
            EXPECT_TRUE(clip.sidecar["title"].get<std::string>().ends_with(fmt::format(" ({}/2)", i + 1)))
                << clip.sidecar.dump();
        }
        EXPECT_EQ(clip.sidecar["game"], "Partie de test");
        auto const info = media::probe(clip.mp4);
        ASSERT_FALSE(info.is_null());
        EXPECT_EQ(info["streams"][0]["codec_name"], codecs[i]);
        EXPECT_GE(std::stod(info["format"]["duration"].get<std::string>()), 1.0);
        EXPECT_EQ(media::decode_errors(clip.mp4), "");
        EXPECT_EQ(media::gst_errors(clip.mp4), "");
    }
    EXPECT_TRUE(e2e::poll_until([&] { return clips_told == int(parts); })) << page_story();
    EXPECT_EQ(handle->failed_keys(), std::vector<std::string> { "F8" });
}

}
