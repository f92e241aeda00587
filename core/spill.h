#pragma once
// Files that hold the bytes of Spilled samples: the segment files that older video payloads are moved to, and,
// while trimming, the source clip itself. A SpillFile is shared (std::shared_ptr): every Spilled payload that
// refers to it holds one reference, and the file closes when the last one goes. A segment file is unlinked
// as soon as it is created, so it disappears with its last reference, even after a crash.
//
// Reads and writes are positional (pread/pwrite), so any number of threads may read one file at once.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "core/file_io.h"
#include "core/packet.h"
#include "core/result.h"
#include "core/ring.h"

namespace spill {

class SpillFile {
public:
    // Creates a new segment file at path (never opening an existing one: O_EXCL), read-write, mode 0600,
    // and unlinks its name at once.
    static Result<std::shared_ptr<SpillFile>> create_segment(std::filesystem::path const& path);
    // Wraps a file that is already open for reading, such as the source clip of a trim.
    static std::shared_ptr<SpillFile> adopt(files::Fd fd);

    explicit SpillFile(files::Fd fd) : m_fd(std::move(fd)) {}
    SpillFile(SpillFile const&) = delete;
    SpillFile& operator=(SpillFile const&) = delete;

    int fd() const { return m_fd.get(); }
    // Exactly data.size() bytes at offset; an end of file first is "failed to fill whole buffer".
    Result<void> read_at(std::span<std::uint8_t> data, std::uint64_t offset) const;
    // All of data at offset.
    Result<void> write_at(std::span<std::uint8_t const> data, std::uint64_t offset) const;

private:
    files::Fd m_fd;
};

// The sample's bytes in memory: a Memory sample shares its buffer, a Spilled one is read into a new buffer.
Result<Packet> load_sample(ring::Sample const& sample);

}
