// The real key grabs, under the test desktop's X server, with keys typed by xdotool.
#include "platform/hotkey_registrar.h"
#include "platform/linux/vk_keysyms.h"

#include <cstdlib>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

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

// The settings keep Windows key codes: letters, digits and the function keys up to F24 become X keysyms.
TEST(HotkeysKeys, LettersDigitsAndFunctionKeysMapToKeysyms)
{
    std::pair<std::uint32_t, std::uint32_t> const rows[] = {
        { 0x41, 'a' },    { 0x5A, 'z' },    { 0x30, '0' },    { 0x39, '9' },
        { 0x70, 0xffbe }, { 0x75, 0xffc3 }, { 0x87, 0xffd5 }, // F1, F6, F24
        { 0x88, 0 },      { 0xFF, 0 },
    };
    for (auto [vk, keysym] : rows)
        EXPECT_EQ(platform::linux_keys::vk_to_keysym(vk), keysym) << std::hex << vk;
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

// A key another client holds, a key asked twice and a key with no X equivalent are refused; the others are
// taken. (F11 and F12 are no default shortcut: a program another test has just ended may still hold its keys
// until the server has seen it go.)
TEST_F(HotkeysX11, KeyHeldByAnotherClientOrAskedTwiceIsRefused)
{
    xcb_connection_t* other = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(other));
    auto* screen = xcb_setup_roots_iterator(xcb_get_setup(other)).data;
    auto* symbols = xcb_key_symbols_alloc(other);
    auto* codes = xcb_key_symbols_get_keycode(symbols, 0xffc8); // F11
    ASSERT_TRUE(codes);
    auto* error = xcb_request_check(other, xcb_grab_key_checked(other, 1, screen->root, 0, codes[0],
                                                                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    EXPECT_FALSE(error);
    std::free(error);
    EXPECT_FALSE(registrar->grab(1, 0, 0x7A));
    EXPECT_TRUE(registrar->grab(2, 0, 0x7B));
    EXPECT_FALSE(registrar->grab(3, 0, 0x7B));
    EXPECT_FALSE(registrar->grab(4, 0, 0xFF));
    std::free(codes);
    xcb_key_symbols_free(symbols);
    xcb_disconnect(other);
}
