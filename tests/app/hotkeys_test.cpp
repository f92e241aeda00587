#include "app/hotkeys.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/fakes/fake_hotkeys.h"

using namespace std::chrono_literals;
using engine::HotkeyKind::Record;
using engine::HotkeyKind::Save;
using hotkeys::HotkeyBinding;

namespace {

void settle(fakes::FakeHotkeys::State& state) { ASSERT_TRUE(fakes::FakeHotkeys::settle(state)); }

std::vector<HotkeyBinding> defaults()
{
    return { { "F6", 0, 0x75, Save, 30 }, { "F7", 0, 0x76, Save, 60 }, { "F8", 0, 0x77, Save, 90 },
             { "F9", 0, 0x78, Save, 120 }, { "F10", 0, 0x79, Record, 0 } };
}

class HotkeysThread : public ::testing::Test {
protected:
    void SetUp() override
    {
        state = std::make_shared<fakes::FakeHotkeys::State>();
        auto made = hotkeys::spawn(
            [](engine::HotkeyKind, std::uint32_t) { },
            [state = state]() -> Result<std::unique_ptr<platform::HotkeyRegistrar>> {
                return std::make_unique<fakes::FakeHotkeys>(state);
            });
        ASSERT_TRUE(made);
        handle = std::move(*made);
    }
    void TearDown() override { hotkeys::drop_thread_handle(handle); }

    std::map<int, std::uint32_t> grabbed()
    {
        std::lock_guard lock(state->mutex);
        return state->grabbed;
    }

    std::shared_ptr<fakes::FakeHotkeys::State> state;
    hotkeys::HotkeyThread handle;
};

}

TEST_F(HotkeysThread, SetWhilePausedRegistersOnResume)
{
    hotkeys::send_command(handle, hotkeys::SetBindings { defaults() });
    settle(*state);
    hotkeys::send_command(handle, hotkeys::Pause { true });
    hotkeys::send_command(handle, hotkeys::SetBindings { { { "F2", 0, 0x71, Save, 10 } } });
    settle(*state);
    EXPECT_TRUE(grabbed().empty());
    EXPECT_TRUE(hotkeys::failed_keys(handle).empty());
    hotkeys::send_command(handle, hotkeys::Pause { false });
    settle(*state);
    auto ids = grabbed();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[1], 0x71u);
}

TEST_F(HotkeysThread, ReleasingHandleUnregistersEverything)
{
    hotkeys::send_command(handle, hotkeys::SetBindings { defaults() });
    hotkeys::drop_thread_handle(handle);
    settle(*state);
    EXPECT_TRUE(grabbed().empty());
    // Commands after the end are dropped without harm.
    hotkeys::send_command(handle, hotkeys::Pause { false });
}
