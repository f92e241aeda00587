#pragma once
// An App for API tests: a real Engine over a temporary clips folder and settings path, with pipeline bodies
// that run until stopped and count their starts, recorded page events, a fake trash, clipboard and shell,
// and an event proxy that records window commands.

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/api/api.h"
#include "app/api/page_server.h"
#include "app/main.h"
#include "engine/engine.h"
#include "tests/fakes/fake_desktop.h"
#include "tests/fakes/fake_trash.h"
#include "tests/support/temp_dir.h"

namespace api_rig {

struct Log {
    threads::Locked<std::vector<std::string>> lines; // "video", "audio", "recording-finished" ... in order
    std::atomic<int> video_starts { 0 };
    std::atomic<int> audio_starts { 0 };
    void add(std::string line)
    {
        lines.with([&](auto& list) { list.push_back(std::move(line)); });
    }
};

class ApiTest : public testing_support::TempDirTest {
protected:
    void SetUp() override;
    void TearDown() override; // stops the pipelines, so no body outlives its test
    // Builds the engine with these settings in force; clips go to dir()/clips.
    void make(settings::Settings settings = {});
    api::ApiResult call(std::string_view method, nlohmann::json const& params = nullptr);
    // An MP4 file (any bytes) named id.mp4 in the clips folder.
    void add_clip(std::string const& id);
    std::vector<engine::PageEvent> events();
    // Starts both pipelines as the gate would, and waits until both bodies run.
    void start_pipelines();
    // Waits (10 s at most) until the bodies have started this often in all.
    void wait_for_starts(int video, int audio);

    std::shared_ptr<Log> log = std::make_shared<Log>();
    std::shared_ptr<fakes::FakeTrash> trash;
    std::shared_ptr<fakes::FakeClipboard> clipboard = std::make_shared<fakes::FakeClipboard>();
    std::shared_ptr<fakes::FakeShell> shell = std::make_shared<fakes::FakeShell>();
    std::shared_ptr<threads::Locked<std::vector<engine::PageEvent>>> page_events
        = std::make_shared<threads::Locked<std::vector<engine::PageEvent>>>();
    std::shared_ptr<std::vector<shell::UserEvent>> window_events = std::make_shared<std::vector<shell::UserEvent>>();
    engine::Actions actions; // set before make()
    api::Platform platform;
    std::shared_ptr<engine::Engine> engine;
    std::shared_ptr<api::App> app;
    api::PageJob job;
    channel::Receiver<engine::SaveRequest> saves;
};

// A hotkeys handle whose commands the test reads itself.
struct HotkeysProbe {
    std::shared_ptr<shell::HotkeyShortcuts> handle;
    channel::Receiver<hotkeys::HotkeyCommand> commands;
};
HotkeysProbe hotkeys_probe();

}
