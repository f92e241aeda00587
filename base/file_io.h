#pragma once
// POSIX file helpers shared by every writer of the program: an owned descriptor, positional reads and
// writes that survive EINTR and short transfers, a 1 MiB buffered writer, and the temporary-name-then-rename
// discipline ("x.json.tmp", "x.mp4.part") that keeps a good file from ever being replaced by a half-written one.
// None of these hold state shared between threads; each object belongs to the thread that uses it.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace files {

// Move-only owner of a file descriptor; one close() with no retry on EINTR.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd const&) = delete;
    Fd& operator=(Fd const&) = delete;
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    ~Fd() { reset(); }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    explicit operator bool() const { return valid(); }
    [[nodiscard]] int release();
    void reset(int fd = -1);

private:
    int m_fd { -1 };
};

enum class Create { No, Truncate, Exclusive };

// Opens with O_CLOEXEC. Create::Exclusive fails when anything has the name, a link included
// (O_EXCL|O_NOFOLLOW): the one way this program makes a new file.
Result<Fd> open_read(std::filesystem::path const& path);
Result<Fd> open_write(std::filesystem::path const& path, Create create, int mode = 0644);
Result<Fd> open_read_write(std::filesystem::path const& path, Create create, int mode = 0644);

// Dir::create_temp in the folder holding `path`.
Result<Fd> create_temp(std::filesystem::path const& path, int mode = 0644);

// Syncs the folder holding `path`: a rename or a creation survives a power cut only once its folder did.
Result<void> sync_folder_of(std::filesystem::path const& path);

// Reads exactly data.size() bytes at offset; an end of file before that is the error
// "failed to fill whole buffer". Retries on EINTR and continues after short reads.
Result<void> pread_exact(int fd, std::span<std::byte> data, std::uint64_t offset);
Result<void> pread_exact(int fd, std::span<std::uint8_t> data, std::uint64_t offset);
// Writes all of data at offset, retrying on EINTR and short writes.
Result<void> pwrite_all(int fd, std::span<std::uint8_t const> data, std::uint64_t offset);
// Writes all of data at the current position.
Result<void> write_all(int fd, std::span<std::uint8_t const> data);
Result<void> fdatasync_fd(int fd);
// Asks the system to start writing [offset, offset + length) to disk now, without waiting: a long write that
// ends in fdatasync then overlaps its copying with the disk instead of leaving all the disk work to the end.
// Best effort; nothing happens where the system has no such call.
void start_writeback(int fd, std::uint64_t offset, std::uint64_t length);
Result<std::uint64_t> file_size(int fd);
// Cuts (or extends with zeros) the file to `size` bytes.
Result<void> truncate_fd(int fd, std::uint64_t size);
// Makes the file hold `bytes` of allocated blocks, so that giving them back later frees that much room on a
// full disk. Where the system cannot allocate without writing, zeros are written instead.
Result<void> reserve_space(int fd, std::uint64_t bytes);
// true for the errors of a disk with no room left for a write: no space, over quota, file too large.
bool is_out_of_room(int error_number);

// Takes the exclusive lock (flock) of the file open at `fd` without waiting: false when another open of the file,
// in this process or another, holds it. The lock belongs to this open of the file and lasts until its last
// descriptor closes, so a process that dies, even killed outright, never leaves it held; every descriptor here is
// opened with O_CLOEXEC, so no program started from this one inherits it. On a file system that keeps no locks it
// says true, as if taken. The error is "verrouillage impossible : {}" with the system's text.
Result<bool> try_lock(int fd);

// Sequential writer with a 1 MiB buffer; large writes bypass the buffer. The owner calls flush()
// (and sync() where durability matters) before trusting the bytes; the destructor does not flush.
// The first error is final: once a write failed, nobody knows how much of it reached the file, so every later
// call returns that error instead of writing after (or again over) bytes that position() no longer describes.
class BufWriter {
public:
    static constexpr std::size_t capacity_bytes = 1 << 20;
    explicit BufWriter(int fd);
    BufWriter(BufWriter const&) = delete;
    BufWriter& operator=(BufWriter const&) = delete;

    Result<void> write(std::span<std::uint8_t const> data);
    Result<void> write(std::string_view text);
    // Appends the parts in order. When they would overflow the buffer, what is buffered and the parts go out
    // in one gathered write (writev) without being copied: large encoded samples skip the buffer.
    Result<void> write_parts(std::span<std::span<std::uint8_t const> const> parts);
    Result<void> flush();
    std::uint64_t position() const { return m_written + m_buffer.size(); }

private:
    Result<void> keep_error(Result<void> result);

    int m_fd;
    std::vector<std::uint8_t> m_buffer;
    std::uint64_t m_written { 0 };
    std::optional<std::string> m_error;
};

// An open folder. Every name given to it is one entry of this folder, found again through the descriptor and
// never through the path that led here: once a folder is open, nothing renamed or linked on the way can move
// its reads, writes and removals elsewhere. A name that is empty, ".", ".." or holds a "/" is refused (EINVAL).
class Dir {
public:
    struct Entry {
        std::string name;
        bool regular { false }; // a regular file itself, not a link to one
        std::int64_t modified_ns { 0 }; // last write, nanoseconds since 1970
    };

    // Opens the folder at `path`, following links on the way (the player may have chosen a link).
    static Result<Dir> open(std::filesystem::path const& path);
    // Opens the folder `name` inside this one; a link at `name` is refused (ELOOP), never followed.
    Result<Dir> open_child(std::string_view name) const;
    Result<Dir> duplicate() const;

    // Creates a temporary file for writing, exclusively. A folder the player can write to may hold a link
    // planted at the name to redirect the write elsewhere, or a part left by a crash: whatever has the name is
    // removed first (unlink never follows a link, so its target is untouched). A folder at the name is an error.
    Result<Fd> create_temp(std::string_view name, int mode = 0644) const;
    // The same, holding the file's lock (files::try_lock) from before its first byte: a sweep by another copy of
    // the program leaves it alone. A sweep that took the lock in the instant after the creation removes the name:
    // the file is then made again.
    Result<Fd> create_locked(std::string_view name) const;
    // Opens `name` for reading only when it is itself a regular file: a link at the name is refused (ELOOP),
    // anything but a regular file too (EISDIR or EINVAL), a FIFO without waiting for a writer.
    Result<Fd> open_regular(std::string_view name) const;
    // The same for reading and writing: a file of the folder is changed in place, never one a link leads to.
    Result<Fd> open_regular_read_write(std::string_view name) const;
    // The whole of such a file; one larger than max_bytes is refused (EFBIG) without being read.
    Result<std::string> read_regular(std::string_view name, std::uint64_t max_bytes) const;
    // Creates the folder `name`; one that is already there is not an error.
    Result<void> make_folder(std::string_view name, int mode = 0777) const;
    // Renames within this folder, replacing what has the name `to` (a link itself, never its target).
    Result<void> rename(std::string_view from, std::string_view to) const;
    // Removes the entry `name`, a link itself and never its target; a folder is refused.
    Result<void> remove(std::string_view name) const;
    // Removes the regular file `name` unless an open of it holds its lock (files::try_lock), as a PartFile's does
    // until its commit: true when it went, false when it is held or was renamed or removed meanwhile. A link at the
    // name is refused (ELOOP), anything but a regular file too.
    Result<bool> remove_unheld(std::string_view name) const;
    // A rename or a creation survives a power cut only once its folder did.
    Result<void> sync() const;
    // The entries, links left unfollowed; "." and ".." left out.
    Result<std::vector<Entry>> entries() const;

private:
    explicit Dir(Fd fd)
        : m_fd(std::move(fd))
    {
    }
    Fd m_fd;
};

// Creates `folder` (mode 0700, missing parents as usual) unless it exists, then makes sure the program may take
// it as its own: the folder belongs to the user and no other user may write to it, and every folder above it
// belongs to the user or to root and is writable by others only with the sticky bit (as /tmp is), so that nobody
// else can put their own folder, settings or links in its place. The error is the player's French text, naming
// the folder at fault ("/tmp/.config appartient à un autre utilisateur"), or the system's.
Result<void> ensure_own_folder(std::filesystem::path const& folder);

// A file being written under a temporary name beside its final name. commit() flushes the data to disk
// (fdatasync), renames it over the final name and syncs the folder; a PartFile destroyed without commit unlinks its
// temporary file, so a failure never leaves a part behind and never touches the final file. Its descriptor holds
// the file's lock (files::try_lock) from the creation, before the first byte, until the rename or the removal: a
// sweep of leftovers by another copy of the program (Dir::remove_unheld) leaves it alone. keep() lets the lock go
// with the descriptor.
class PartFile {
public:
    // Creates `temp` for writing (Dir::create_temp) and locks it; `final_path` is where commit() puts it. Both lie in
    // one folder, which is opened once: the commit renames and syncs inside that very folder. When the lock cannot
    // be had, the error is "verrouillage impossible : {}" with the system's text.
    static Result<PartFile> create(std::filesystem::path const& temp, std::filesystem::path const& final_path);
    // The same with the names `temp` and `final_name` inside `dir`.
    static Result<PartFile> create(Dir const& dir, std::string_view temp, std::string_view final_name);
    PartFile(PartFile&&) noexcept;
    PartFile& operator=(PartFile&&) = delete;
    PartFile(PartFile const&) = delete;
    ~PartFile();

    int fd() const { return m_fd.get(); }
    Result<void> commit();
    // Leaves the temporary file in place when this object dies uncommitted.
    void keep() { m_done = true; }

private:
    PartFile(Dir dir, Fd fd, std::string temp, std::string final_name);
    Dir m_dir;
    Fd m_fd;
    std::string m_temp;
    std::string m_final;
    bool m_done { false };
};

// What a failed atomic_replace does with its temporary file: remove it, or keep it as far as it was written.
enum class Leftover { Remove, Keep };

// Writes bytes to a fresh `temp` (Dir::create_temp), fdatasyncs, renames over `final_path` and syncs the folder. On any
// failure the final file is untouched.
// Errors are the bare system text (callers add their prefix).
Result<void> atomic_replace(std::filesystem::path const& final_path, std::filesystem::path const& temp,
                            std::span<std::uint8_t const> data, Leftover leftover = Leftover::Remove);
Result<void> atomic_replace(std::filesystem::path const& final_path, std::filesystem::path const& temp,
                            std::string_view text, Leftover leftover = Leftover::Remove);
// The same with names inside `dir`.
Result<void> atomic_replace(Dir const& dir, std::string_view final_name, std::string_view temp,
                            std::span<std::uint8_t const> data, Leftover leftover = Leftover::Remove);
Result<void> atomic_replace(Dir const& dir, std::string_view final_name, std::string_view temp,
                            std::string_view text, Leftover leftover = Leftover::Remove);

// Opens a regular file (after links) for reading. Anything else is refused (EISDIR or EINVAL), a FIFO without
// waiting for a writer.
Result<Fd> open_regular(std::filesystem::path const& path);

// Reads a whole regular file, refusing anything else as open_regular does.
Result<std::string> read_text(std::filesystem::path const& path);

// true when path names a regular file after following links (never opens it).
bool is_regular_file(std::filesystem::path const& path);

// The running program's own file, as /proc/self/exe names it.
Result<std::filesystem::path> own_executable();

}
