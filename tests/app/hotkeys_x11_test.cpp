// The real key grabs, under the test desktop's X server, with keys typed by xdotool.
#include "platform/hotkey_registrar.h"

#include <cstdlib>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/media_check.h"

using namespace std::chrono_literals;

namespace {

void xdotool(std::vector<std::string> args)
{
    args.insert(args.begin(), "xdotool");
    auto result = media::run(args);
    ASSERT_EQ(result.status, 0) << result.output;
}

}

class HotkeysX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("DISPLAY") || !media::have_tool("xdotool"))
            GTEST_SKIP() << "needs the test desktop";
        auto opened = platform::hotkey_drivers()[0].open();
        ASSERT_TRUE(opened);
        registrar = std::move(opened).value();
    }
    std::unique_ptr<platform::HotkeyRegistrar> registrar;
};

TEST_F(HotkeysX11, PressFiresOnceEvenWithLockKeysAndHeld)
{
    // Plain presses are the program tests' daily work. With NumLock on, the shortcut still fires; a plain F6
    // (no Ctrl) does not.
    ASSERT_TRUE(registrar->grab(3, platform::mod_control, 0x75));
    xdotool({ "key", "Num_Lock" });
    auto pressed = std::async(std::launch::async, [&] { return registrar->wait(); });
    xdotool({ "key", "F6" });
    xdotool({ "key", "ctrl+F6" });
    ASSERT_EQ(pressed.wait_for(5s), std::future_status::ready);
    auto event = pressed.get();
    EXPECT_EQ(event.kind, platform::HotkeyEvent::Kind::Pressed);
    EXPECT_EQ(event.id, 3);
    xdotool({ "key", "Num_Lock" });

    // A key held past the auto-repeat delay fires once: another shortcut pressed after the release marks the
    // end of what the hold sent, as the server delivers the events in order.
    ASSERT_TRUE(registrar->grab(4, platform::mod_control, 0x76));
    auto held = std::async(std::launch::async, [&] {
        std::vector<platform::HotkeyEvent> events;
        for (auto e = registrar->wait(); e.id != 4; e = registrar->wait())
            events.push_back(e);
        return events;
    });
    xdotool({ "keydown", "ctrl+F6" });
    std::this_thread::sleep_for(900ms);
    xdotool({ "keyup", "ctrl+F6" });
    xdotool({ "key", "ctrl+F7" });
    ASSERT_EQ(held.wait_for(5s), std::future_status::ready);
    auto events = held.get();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 3);
    // The waker ends a wait.
    registrar->waker()->post_quit();
    EXPECT_EQ(registrar->wait().kind, platform::HotkeyEvent::Kind::Quit);
}
