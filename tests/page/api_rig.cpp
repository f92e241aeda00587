#include "tests/page/api_rig.h"

#include <fstream>

namespace api_rig {

using namespace std::chrono_literals;

namespace {

void run_until_stopped(engine::StopFlag const& stop)
{
    while (!stop->load())
        std::this_thread::sleep_for(1ms);
}

class NullWaker final : public platform::HotkeyWaker {
public:
    void post_app() override { }
    void post_quit() override { }
};

}

void ApiTest::SetUp()
{
    TempDirTest::SetUp();
    log = std::make_shared<Log>();
    page_events->set({});
    trash = std::make_shared<fakes::FakeTrash>(dir() / "bin");
    platform.clipboard = clipboard;
    platform.shell = shell;
    platform.autostart_home = dir() / "config";
    platform.executable = "/usr/bin/quillmar";
    platform.videos_dir = dir() / "videos";
}

void ApiTest::TearDown()
{
    if (engine) {
        auto lock = engine->pipeline_lock.lock();
        engine::stop_video_pipeline(*engine);
        engine::stop_audio_pipeline(*engine);
    }
    TempDirTest::TearDown();
}

void ApiTest::make(settings::Settings settings)
{
    auto [requests, receiver] = channel::make<engine::SaveRequest>();
    saves = std::move(receiver);
    std::filesystem::create_directories(dir() / "clips" / ".quillmar");
    auto log = this->log;
    engine::PipelineBodies bodies {
        [log](engine::VideoThreadParams params) {
            ++log->video_starts;
            log->add("video");
            run_until_stopped(params.stop);
        },
        [log](engine::AudioThreadParams params) {
            ++log->audio_starts;
            log->add("audio");
            run_until_stopped(params.stop);
        },
    };
    engine::EngineParts parts {
        std::move(requests),
        dir() / "settings.json",
        std::make_shared<shared::Shared>(),
        std::make_shared<foreground::ForegroundHistory>(),
        std::make_shared<std::atomic<bool>>(false),
        [events = page_events](engine::PageEvent event) { events->with([&](auto& list) { list.push_back(std::move(event)); }); },
        std::move(settings),
        dir() / "clips",
        trash,
        std::move(bodies),
        actions,
        {},
    };
    engine = std::make_shared<engine::Engine>(std::move(parts));
    app = std::make_shared<api::App>(api::App { engine, platform });
    // Window commands are recorded on the calling thread: the waker runs the drain at once.
    job.proxy = std::make_shared<shell::EventProxy>([](std::function<void()> fn) { fn(); },
                                                    [events = window_events](shell::UserEvent e) { events->push_back(std::move(e)); });
    job.app = app;
}

api::ApiResult ApiTest::call(std::string_view method, nlohmann::json const& params)
{
    return api::dispatch_api_method(*app, job, method, params);
}

void ApiTest::add_clip(std::string const& id)
{
    std::ofstream(dir() / "clips" / (id + ".mp4")) << "mp4";
}

std::vector<engine::PageEvent> ApiTest::events() { return page_events->copy(); }

void ApiTest::start_pipelines()
{
    {
        auto lock = engine->pipeline_lock.lock();
        engine::start_pipeline(*engine, engine->settings_copy());
    }
    wait_for_starts(1, 1);
}

void ApiTest::wait_for_starts(int video, int audio)
{
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while ((log->video_starts < video || log->audio_starts < audio) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
}

HotkeysProbe hotkeys_probe()
{
    auto [sender, receiver] = channel::make<hotkeys::HotkeyCommand>();
    auto handle = std::make_shared<shell::HotkeyShortcuts>(
        hotkeys::HotkeyThread { std::move(sender), std::make_shared<hotkeys::HotkeyShared>(), std::make_shared<NullWaker>() });
    return { std::move(handle), std::move(receiver) };
}

}
