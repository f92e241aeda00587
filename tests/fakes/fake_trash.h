#pragma once
// A trash for tests: moves files into a folder of the test, or refuses every move while `refuse` is set.
// Remembers every path it was asked to move, in order.

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/trash.h"

namespace fakes {

class FakeTrash final : public platform::Trash {
public:
    explicit FakeTrash(std::filesystem::path bin)
        : m_bin(std::move(bin))
    {
    }

    Result<void> move_to_trash(std::filesystem::path const& path) override
    {
        asked.push_back(path);
        if (refuse)
            return fail("trash refused");
        std::error_code ec;
        std::filesystem::create_directories(m_bin, ec);
        std::filesystem::rename(path, m_bin / path.filename(), ec);
        if (ec)
            return fail(os_error(ec.value()));
        moved.push_back(path);
        return {};
    }

    bool refuse { false };
    std::vector<std::filesystem::path> asked;
    std::vector<std::filesystem::path> moved;

private:
    std::filesystem::path m_bin;
};

}
