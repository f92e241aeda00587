#pragma once
// The start-up's drivers for tests under a private home: a fake trash in home/trash, no screen for the
// foreground probe or the toast, the desktop always in front, keys from the fake registrar, and the
// program's folders below home. Pipeline bodies are left to the caller.

#include <filesystem>
#include <memory>

#include "app/main.h"
#include "tests/fakes/fake_hotkeys.h"
#include "tests/fakes/fake_trash.h"

namespace fakes {

inline shell::AppPlatform app_platform(std::filesystem::path const& home, std::shared_ptr<FakeHotkeys::State> keys)
{
    shell::AppPlatform platform;
    platform.trash = std::make_shared<FakeTrash>(home / "trash");
    platform.open_probe = []() -> Result<std::unique_ptr<platform::ForegroundProbe>> { return fail("pas d'écran"); };
    platform.detect_foreground = [] { return foreground::desktop_entry(); };
    platform.open_toast = []() -> Result<std::unique_ptr<platform::ToastSurface>> { return fail("pas d'écran"); };
    platform.open_hotkeys = [keys]() -> Result<std::unique_ptr<platform::HotkeyRegistrar>> {
        return std::make_unique<FakeHotkeys>(keys);
    };
    platform.videos_dir = home / "Videos";
    platform.buffer_dir = home / ".cache" / "quill.mar" / "buffer";
    platform.autostart_home = home / ".config";
    platform.executable = home / "quill mar" / "quillmar";
    return platform;
}

}
