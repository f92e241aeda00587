#pragma once
// A clipboard and a desktop shell for tests: they remember what they were asked, and answer what the test
// set. Called from the test's own thread.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboard.h"
#include "platform/shell.h"

namespace fakes {

class FakeClipboard final : public platform::Clipboard {
public:
    Result<void> put_file(std::filesystem::path const& path) override
    {
        if (refuse)
            return fail(std::string(platform::clipboard_unavailable_text));
        files.push_back(path);
        return {};
    }
    std::optional<std::string> text() override { return held_text; }

    bool refuse { false };
    std::optional<std::string> held_text;
    std::vector<std::filesystem::path> files;
};

class FakeShell final : public platform::DesktopShell {
public:
    void open(std::filesystem::path const& path) override { opened.push_back(path); }
    void reveal(std::filesystem::path const& path) override { revealed.push_back(path); }
    std::optional<std::string> pick_folder() override { return picked; }

    std::optional<std::string> picked;
    std::vector<std::filesystem::path> opened;
    std::vector<std::filesystem::path> revealed;
};

}
