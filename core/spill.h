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
#include <optional>
#include <string>
#include <vector>
#include <span>

#include "base/file_io.h"
#include "core/packet.h"
#include "base/result.h"
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


// -- Spill segments: moving older video payloads out of memory -------------------------------------------------
//
// The spill thread ("quillmar-spill") runs one round every 0.5 s, split so that the lock of the rings is held
// only for list work: gather (under the lock: which Memory payloads are old enough), write (no lock: append
// the payloads to the current segment file) and apply (under the lock again: swap each sample that is still
// the very buffer that was written). A sample evicted or changed meanwhile simply keeps no record; its bytes
// stay in the segment, referred to by nothing, until the file goes. A Spiller belongs to the spill thread.

// A segment is full at 32 MiB; the sample that crosses the size still goes in.
constexpr std::uint64_t segment_limit_bytes = 32 * 1024 * 1024;
// The newest four seconds stay in memory while capture runs.
constexpr std::int64_t keep_in_memory_ticks = 40'000'000;

// One payload to move: which ring, which sample, and the buffer as it was when gathered.
struct Job {
    std::uint64_t ring_id { 0 };
    std::int64_t time { 0 };
    SharedBytes data;
};

// A payload written out: where its bytes now are.
struct Written {
    Job job;
    std::shared_ptr<SpillFile> file;
    std::uint64_t offset { 0 };
};

// Appends a job for every Memory sample of `ring` with time < cutoff, oldest first.
void gather(ring::Ring const& ring, std::int64_t cutoff, std::vector<Job>& jobs);

// Swaps the record's sample in `ring` (looked up by time; several samples may share a time) from Memory to
// Spilled when it still holds the written buffer. false when the sample is gone or changed.
bool apply(ring::Ring& ring, Written const& record);

class Spiller {
public:
    // `folder` is the buffer folder; segment files are named "{pid}-{counter}.seg" in it.
    explicit Spiller(std::filesystem::path folder, std::uint64_t segment_limit = segment_limit_bytes);

    // Creates the folder (mode 0700, with its parents) and deletes the "*.seg" files an earlier run left
    // behind. Done once: later calls succeed at once. The counter starts at 0 when it succeeds.
    Result<void> prepare();
    bool prepared() const { return m_prepared; }

    struct Outcome {
        std::vector<Written> records;     // what was written, in job order (also on failure)
        std::optional<std::string> error; // the first failure; the current segment was released
    };
    // Writes the jobs in order, starting a new segment file whenever there is none or the current one
    // holds segment_limit bytes or more.
    Outcome write(std::vector<Job> jobs);

    // Lets the current segment go: the next job starts a new file, and the old one disappears once no
    // sample refers to it.
    void release_current();
    std::shared_ptr<SpillFile> const& current() const { return m_current; }

private:
    std::filesystem::path m_folder;
    std::uint64_t m_segment_limit;
    bool m_prepared { false };
    std::shared_ptr<SpillFile> m_current;
    std::uint64_t m_current_size { 0 };
    std::uint64_t m_counter { 0 };
};

}
