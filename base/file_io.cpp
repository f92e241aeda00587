#include "base/file_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <locale.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

std::string os_error(int code)
{
    // strerror_l follows the user's locale (LC_MESSAGES) where the C library has a translation.
    locale_t locale = newlocale(LC_MESSAGES_MASK, "", static_cast<locale_t>(0));
    char const* text = locale ? strerror_l(code, locale) : std::strerror(code);
    std::string message = fmt::format("{} (os error {})", text, code);
    if (locale)
        freelocale(locale);
    return message;
}

namespace files {

Fd& Fd::operator=(Fd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int Fd::release()
{
    int fd = m_fd;
    m_fd = -1;
    return fd;
}

void Fd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

static Result<Fd> open_with(std::filesystem::path const& path, int flags, int mode)
{
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0)
        return fail(os_error(errno));
    return Fd(fd);
}

static int create_flags(Create create)
{
    switch (create) {
    case Create::No:
        return 0;
    case Create::Truncate:
        return O_CREAT | O_TRUNC;
    case Create::Exclusive:
        return O_CREAT | O_EXCL | O_NOFOLLOW;
    }
    return 0;
}

Result<Fd> open_read(std::filesystem::path const& path) { return open_with(path, O_RDONLY, 0); }

Result<Fd> open_write(std::filesystem::path const& path, Create create, int mode)
{
    return open_with(path, O_WRONLY | create_flags(create), mode);
}

Result<Fd> open_read_write(std::filesystem::path const& path, Create create, int mode)
{
    return open_with(path, O_RDWR | create_flags(create), mode);
}

namespace {

bool is_entry_name(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos
        && name.find('\0') == std::string_view::npos;
}

// The name as the system wants it, or EINVAL for anything but one entry of the folder.
Result<std::string> entry_name(std::string_view name)
{
    if (!is_entry_name(name))
        return fail(os_error(EINVAL));
    return std::string(name);
}

// Reads to the end, or fails (EFBIG) once more than max_bytes came: a file may grow while it is read.
Result<std::string> read_all(int fd, std::uint64_t max_bytes)
{
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(os_error(errno));
        }
        if (n == 0)
            break;
        if (static_cast<std::uint64_t>(n) > max_bytes - std::min<std::uint64_t>(max_bytes, text.size()))
            return fail(os_error(EFBIG));
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

Result<Fd> open_regular_at(int folder, char const* name, int follow, int access = O_RDONLY)
{
    // O_NONBLOCK so that opening a FIFO never waits for a writer; the type check below then refuses it.
    int raw = ::openat(folder, name, access | O_CLOEXEC | O_NONBLOCK | follow);
    if (raw < 0)
        return fail(os_error(errno));
    Fd fd(raw);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return fail(os_error(errno));
    if (!S_ISREG(st.st_mode))
        return fail(os_error(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
    return fd;
}

}

Result<Dir> Dir::open(std::filesystem::path const& path)
{
    return Dir(TRY(open_with(path.empty() ? "." : path, O_RDONLY | O_DIRECTORY, 0)));
}

Result<Dir> Dir::open_child(std::string_view name) const
{
    auto entry = TRY(entry_name(name));
    int fd = ::openat(m_fd.get(), entry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return fail(os_error(errno));
    return Dir(Fd(fd));
}

Result<Dir> Dir::duplicate() const
{
    int fd = ::fcntl(m_fd.get(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return fail(os_error(errno));
    return Dir(Fd(fd));
}

Result<Fd> Dir::create_temp(std::string_view name, int mode) const
{
    auto entry = TRY(entry_name(name));
    // A few rounds: something may put the name back between the removal and the creation.
    for (int attempt = 0;; ++attempt) {
        int fd = ::openat(m_fd.get(), entry.c_str(), O_WRONLY | create_flags(Create::Exclusive) | O_CLOEXEC, mode);
        if (fd >= 0)
            return Fd(fd);
        if (errno != EEXIST || attempt == 2)
            return fail(os_error(errno));
        if (::unlinkat(m_fd.get(), entry.c_str(), 0) != 0 && errno != ENOENT)
            return fail(os_error(errno));
    }
}

Result<Fd> Dir::create_locked(std::string_view name) const
{
    for (int attempt = 0;; ++attempt) {
        auto fd = TRY(create_temp(name));
        auto locked = try_lock(fd.get());
        if (!locked) {
            (void)remove(name);
            return fail(std::move(locked).error());
        }
        struct stat st {};
        if (*locked && ::fstat(fd.get(), &st) == 0 && st.st_nlink > 0)
            return fd;
        if (attempt == 2)
            return fail(fmt::format("verrouillage impossible : {}", os_error(EWOULDBLOCK)));
    }
}

Result<Fd> Dir::open_regular(std::string_view name) const
{
    auto entry = TRY(entry_name(name));
    return open_regular_at(m_fd.get(), entry.c_str(), O_NOFOLLOW);
}

Result<Fd> Dir::open_regular_read_write(std::string_view name) const
{
    auto entry = TRY(entry_name(name));
    auto fd = TRY(open_regular_at(m_fd.get(), entry.c_str(), O_NOFOLLOW, O_RDWR));
    // Back to blocking writes: O_NONBLOCK was only there for the open.
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(os_error(errno));
    return fd;
}

Result<std::string> Dir::read_regular(std::string_view name, std::uint64_t max_bytes) const
{
    auto fd = TRY(open_regular(name));
    if (TRY(file_size(fd.get())) > max_bytes)
        return fail(os_error(EFBIG));
    return read_all(fd.get(), max_bytes);
}

Result<void> Dir::make_folder(std::string_view name, int mode) const
{
    auto entry = TRY(entry_name(name));
    if (::mkdirat(m_fd.get(), entry.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
        return fail(os_error(errno));
    return {};
}

Result<void> Dir::rename(std::string_view from, std::string_view to) const
{
    auto source = TRY(entry_name(from));
    auto target = TRY(entry_name(to));
    if (::renameat(m_fd.get(), source.c_str(), m_fd.get(), target.c_str()) != 0)
        return fail(os_error(errno));
    return {};
}

Result<void> Dir::remove(std::string_view name) const
{
    auto entry = TRY(entry_name(name));
    if (::unlinkat(m_fd.get(), entry.c_str(), 0) != 0)
        return fail(os_error(errno));
    return {};
}

Result<bool> Dir::remove_unheld(std::string_view name) const
{
    auto entry = TRY(entry_name(name));
    auto fd = TRY(open_regular_at(m_fd.get(), entry.c_str(), O_NOFOLLOW));
    if (!TRY(try_lock(fd.get())))
        return false;
    // Between the open and the lock its writer may have renamed it or removed it, and another file may have taken
    // the name: only the very file locked goes. The lock is held until it is gone.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd.get(), &held) != 0)
        return fail(os_error(errno));
    if (::fstatat(m_fd.get(), entry.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Result<bool>(false) : fail(os_error(errno));
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino)
        return false;
    if (::unlinkat(m_fd.get(), entry.c_str(), 0) != 0)
        return fail(os_error(errno));
    return true;
}

Result<void> Dir::sync() const
{
    while (::fsync(m_fd.get()) != 0) {
        if (errno != EINTR)
            return fail(os_error(errno));
    }
    return {};
}

Result<Fd> create_temp(std::filesystem::path const& path, int mode)
{
    return TRY(Dir::open(path.parent_path())).create_temp(path.filename().native(), mode);
}

Result<void> sync_folder_of(std::filesystem::path const& path)
{
    return TRY(Dir::open(path.parent_path())).sync();
}

Result<std::vector<Dir::Entry>> Dir::entries() const
{
    // The listing reads a descriptor of its own (a duplicate would share this one's position).
    Fd listed(::openat(m_fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listed)
        return fail(os_error(errno));
    DIR* dir = ::fdopendir(listed.get());
    if (!dir)
        return fail(os_error(errno));
    (void)listed.release();
    std::vector<Entry> entries;
    while (auto* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        if (::fstatat(m_fd.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        entries.push_back({ std::string(name), S_ISREG(st.st_mode),
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec });
    }
    ::closedir(dir);
    return entries;
}

namespace {

// Who may change what is in a folder besides the user: its owner, and anyone when others may write to it
// without the sticky bit (with it, as in /tmp, an entry can only be renamed or removed by its owner).
std::optional<std::string> foreign_hold(std::filesystem::path const& folder, struct stat const& st, bool own)
{
    auto const uid = ::geteuid();
    if (st.st_uid != uid && (own || st.st_uid != 0))
        return fmt::format("{} appartient à un autre utilisateur", folder.string());
    if ((st.st_mode & S_IWOTH) && (own || !(st.st_mode & S_ISVTX)))
        return fmt::format("d'autres utilisateurs peuvent écrire dans {}", folder.string());
    return std::nullopt;
}

std::optional<std::string> foreign_chain(std::filesystem::path const& folder)
{
    bool own = true;
    for (auto path = folder;; path = path.parent_path()) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            return os_error(errno);
        if (auto hold = foreign_hold(path, st, own))
            return hold;
        own = false;
        if (path == path.parent_path() || !path.has_relative_path())
            return std::nullopt;
    }
}

}

Result<void> ensure_own_folder(std::filesystem::path const& folder)
{
    std::error_code ec;
    std::filesystem::create_directories(folder.parent_path(), ec);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return fail(os_error(errno));
    // The path as written and the folder it leads to: a link on the way lives in a folder that must be safe
    // too, and so must the folders above the one it leads to.
    auto absolute = std::filesystem::absolute(folder, ec);
    if (ec)
        absolute = folder;
    auto resolved = std::filesystem::canonical(folder, ec);
    for (auto const& path : { absolute.lexically_normal(), resolved }) {
        if (path.empty())
            continue;
        if (auto hold = foreign_chain(path))
            return fail(std::move(*hold));
    }
    return {};
}

namespace {

// Calls transfer(done) until `size` bytes have moved, resuming after short transfers and EINTR. transfer returns
// what its system call returned; a call that moves nothing ends with the error stopped() gives.
template <class Transfer, class Stopped> Result<void> transfer_all(std::size_t size, Transfer transfer, Stopped stopped)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = transfer(done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(os_error(errno));
        }
        if (n == 0)
            return fail(stopped());
        done += static_cast<std::size_t>(n);
    }
    return {};
}

std::string write_stopped()
{
    return os_error(EIO);
}

}

Result<void> pread_exact(int fd, std::span<std::uint8_t> data, std::uint64_t offset)
{
    return transfer_all(
        data.size(),
        [&](std::size_t done) {
            return ::pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        },
        [] { return std::string("failed to fill whole buffer"); });
}

Result<void> pread_exact(int fd, std::span<std::byte> data, std::uint64_t offset)
{
    return pread_exact(fd, std::span(reinterpret_cast<std::uint8_t*>(data.data()), data.size()), offset);
}

Result<void> pwrite_all(int fd, std::span<std::uint8_t const> data, std::uint64_t offset)
{
    return transfer_all(
        data.size(),
        [&](std::size_t done) {
            return ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        },
        write_stopped);
}

Result<void> write_all(int fd, std::span<std::uint8_t const> data)
{
    return transfer_all(
        data.size(), [&](std::size_t done) { return ::write(fd, data.data() + done, data.size() - done); },
        write_stopped);
}

Result<void> fdatasync_fd(int fd)
{
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR)
            return fail(os_error(errno));
    }
    return {};
}

void start_writeback(int fd, std::uint64_t offset, std::uint64_t length)
{
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
    (void)offset;
    (void)length;
#endif
}

Result<std::uint64_t> file_size(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return fail(os_error(errno));
    return static_cast<std::uint64_t>(st.st_size);
}

Result<void> truncate_fd(int fd, std::uint64_t size)
{
    while (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        if (errno != EINTR)
            return fail(os_error(errno));
    }
    return {};
}

Result<void> reserve_space(int fd, std::uint64_t bytes)
{
    // posix_fallocate allocates without writing where the file system can, and writes zeros elsewhere.
    int error = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes));
    if (error != 0)
        return fail(os_error(error));
    return {};
}

bool is_out_of_room(int error_number) { return error_number == ENOSPC || error_number == EDQUOT || error_number == EFBIG; }

Result<bool> try_lock(int fd)
{
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return false;
        // A file system that keeps no locks (a network share without its lock service) cannot tell another copy's
        // file from a leftover: the file is used as before locks existed, rather than every save and recording
        // on it refused.
        if (errno == ENOLCK || errno == ENOSYS || errno == EOPNOTSUPP)
            return true;
        if (errno != EINTR)
            return fail(fmt::format("verrouillage impossible : {}", os_error(errno)));
    }
    return true;
}

BufWriter::BufWriter(int fd)
    : m_fd(fd)
{
    m_buffer.reserve(capacity_bytes);
}

Result<void> BufWriter::keep_error(Result<void> result)
{
    if (!result && !m_error)
        m_error = result.error();
    return result;
}

Result<void> BufWriter::write(std::span<std::uint8_t const> data)
{
    if (m_error)
        return fail(*m_error);
    if (m_buffer.size() + data.size() > capacity_bytes)
        TRY_VOID(flush());
    if (data.size() >= capacity_bytes) {
        TRY_VOID(keep_error(write_all(m_fd, data)));
        m_written += data.size();
        return {};
    }
    m_buffer.insert(m_buffer.end(), data.begin(), data.end());
    return {};
}

Result<void> BufWriter::write(std::string_view text)
{
    return write(std::span(reinterpret_cast<std::uint8_t const*>(text.data()), text.size()));
}

// Writes every byte of iov at the current position, resuming after short writes.
static Result<void> writev_all(int fd, std::vector<iovec>& iov)
{
    std::size_t total = 0;
    for (auto const& part : iov)
        total += part.iov_len;
    std::size_t first = 0;
    auto transfer = [&](std::size_t) {
        int count = static_cast<int>(std::min<std::size_t>(iov.size() - first, IOV_MAX));
        ssize_t n = ::writev(fd, iov.data() + first, count);
        auto left = static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        while (first < iov.size() && left >= iov[first].iov_len)
            left -= iov[first++].iov_len;
        if (left > 0) {
            iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + left;
            iov[first].iov_len -= left;
        }
        return n;
    };
    return transfer_all(total, transfer, write_stopped);
}

Result<void> BufWriter::write_parts(std::span<std::span<std::uint8_t const> const> parts)
{
    if (m_error)
        return fail(*m_error);
    std::size_t total = 0;
    for (auto part : parts)
        total += part.size();
    if (m_buffer.size() + total <= capacity_bytes) {
        for (auto part : parts)
            m_buffer.insert(m_buffer.end(), part.begin(), part.end());
        return {};
    }
    std::vector<iovec> iov;
    iov.reserve(parts.size() + 1);
    if (!m_buffer.empty())
        iov.push_back({ m_buffer.data(), m_buffer.size() });
    for (auto part : parts) {
        if (!part.empty())
            iov.push_back({ const_cast<std::uint8_t*>(part.data()), part.size() });
    }
    TRY_VOID(keep_error(writev_all(m_fd, iov)));
    m_written += m_buffer.size() + total;
    m_buffer.clear();
    return {};
}

Result<void> BufWriter::flush()
{
    if (m_error)
        return fail(*m_error);
    if (m_buffer.empty())
        return {};
    TRY_VOID(keep_error(write_all(m_fd, m_buffer)));
    m_written += m_buffer.size();
    m_buffer.clear();
    return {};
}

PartFile::PartFile(Dir dir, Fd fd, std::string temp, std::string final_name)
    : m_dir(std::move(dir))
    , m_fd(std::move(fd))
    , m_temp(std::move(temp))
    , m_final(std::move(final_name))
{
}

PartFile::PartFile(PartFile&& other) noexcept
    : m_dir(std::move(other.m_dir))
    , m_fd(std::move(other.m_fd))
    , m_temp(std::move(other.m_temp))
    , m_final(std::move(other.m_final))
    , m_done(other.m_done)
{
    other.m_done = true;
}

Result<PartFile> PartFile::create(std::filesystem::path const& temp, std::filesystem::path const& final_path)
{
    auto dir = TRY(Dir::open(final_path.parent_path()));
    return create(dir, temp.filename().native(), final_path.filename().native());
}

Result<PartFile> PartFile::create(Dir const& dir, std::string_view temp, std::string_view final_name)
{
    auto own = TRY(dir.duplicate());
    auto target = TRY(entry_name(final_name));
    // Locked until it is renamed or removed: another copy of the program starting meanwhile removes the parts a
    // crash left, and leaves a locked one alone.
    auto fd = TRY(own.create_locked(temp));
    return PartFile(std::move(own), std::move(fd), std::string(temp), std::move(target));
}

PartFile::~PartFile()
{
    if (m_done)
        return;
    (void)m_dir.remove(m_temp);
    m_fd.reset();
}

Result<void> PartFile::commit()
{
    if (auto synced = fdatasync_fd(m_fd.get()); !synced)
        return synced;
    // Renamed before the lock goes with the descriptor: unlocked under its temporary name, it is a leftover.
    TRY_VOID(m_dir.rename(m_temp, m_final));
    m_done = true;
    m_fd.reset();
    return m_dir.sync();
}

namespace {

Result<void> write_part(Result<PartFile> created, std::span<std::uint8_t const> data, Leftover leftover)
{
    auto part = TRY(std::move(created));
    auto done = write_all(part.fd(), data);
    if (done)
        done = part.commit();
    if (!done && leftover == Leftover::Keep)
        part.keep();
    return done;
}

}

Result<void> atomic_replace(std::filesystem::path const& final_path, std::filesystem::path const& temp,
                            std::span<std::uint8_t const> data, Leftover leftover)
{
    return write_part(PartFile::create(temp, final_path), data, leftover);
}

Result<void> atomic_replace(Dir const& dir, std::string_view final_name, std::string_view temp,
                            std::span<std::uint8_t const> data, Leftover leftover)
{
    return write_part(PartFile::create(dir, temp, final_name), data, leftover);
}

static std::span<std::uint8_t const> bytes_of(std::string_view text)
{
    return std::span(reinterpret_cast<std::uint8_t const*>(text.data()), text.size());
}

Result<void> atomic_replace(std::filesystem::path const& final_path, std::filesystem::path const& temp,
                            std::string_view text, Leftover leftover)
{
    return atomic_replace(final_path, temp, bytes_of(text), leftover);
}

Result<void> atomic_replace(Dir const& dir, std::string_view final_name, std::string_view temp, std::string_view text,
                            Leftover leftover)
{
    return atomic_replace(dir, final_name, temp, bytes_of(text), leftover);
}

bool is_regular_file(std::filesystem::path const& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Result<std::filesystem::path> own_executable()
{
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return fail(os_error(ec.value()));
    return path;
}

Result<Fd> open_regular(std::filesystem::path const& path)
{
    return open_regular_at(AT_FDCWD, path.c_str(), 0);
}

Result<std::string> read_text(std::filesystem::path const& path)
{
    auto fd = TRY(open_regular(path));
    return read_all(fd.get(), std::numeric_limits<std::uint64_t>::max());
}

}
