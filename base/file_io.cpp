#include "base/file_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <string.h>
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

Result<Fd> create_temp(std::filesystem::path const& path, int mode)
{
    // A few rounds: something may put the name back between the removal and the creation.
    for (int attempt = 0;; ++attempt) {
        int fd = ::open(path.c_str(), O_WRONLY | create_flags(Create::Exclusive) | O_CLOEXEC, mode);
        if (fd >= 0)
            return Fd(fd);
        if (errno != EEXIST || attempt == 2)
            return fail(os_error(errno));
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return fail(os_error(errno));
    }
}

Result<void> sync_folder_of(std::filesystem::path const& path)
{
    auto folder = path.parent_path();
    auto fd = TRY(open_with(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY, 0));
    while (::fsync(fd.get()) != 0) {
        if (errno != EINTR)
            return fail(os_error(errno));
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

PartFile::PartFile(Fd fd, std::filesystem::path temp, std::filesystem::path final_path)
    : m_fd(std::move(fd))
    , m_temp(std::move(temp))
    , m_final(std::move(final_path))
{
}

PartFile::PartFile(PartFile&& other) noexcept
    : m_fd(std::move(other.m_fd))
    , m_temp(std::move(other.m_temp))
    , m_final(std::move(other.m_final))
    , m_done(other.m_done)
{
    other.m_done = true;
}

Result<PartFile> PartFile::create(std::filesystem::path temp, std::filesystem::path final_path)
{
    auto fd = TRY(create_temp(temp));
    return PartFile(std::move(fd), std::move(temp), std::move(final_path));
}

PartFile::~PartFile()
{
    if (m_done)
        return;
    m_fd.reset();
    ::unlink(m_temp.c_str());
}

Result<void> PartFile::commit()
{
    if (auto synced = fdatasync_fd(m_fd.get()); !synced)
        return synced;
    m_fd.reset();
    if (::rename(m_temp.c_str(), m_final.c_str()) != 0)
        return fail(os_error(errno));
    m_done = true;
    return sync_folder_of(m_final);
}

Result<void> atomic_replace(std::filesystem::path const& final_path, std::filesystem::path const& temp,
                            std::span<std::uint8_t const> data, Leftover leftover)
{
    auto part = TRY(PartFile::create(temp, final_path));
    auto done = write_all(part.fd(), data);
    if (done)
        done = part.commit();
    if (!done && leftover == Leftover::Keep)
        part.keep();
    return done;
}

Result<void> atomic_replace(std::filesystem::path const& final_path, std::filesystem::path const& temp,
                            std::string_view text, Leftover leftover)
{
    return atomic_replace(final_path, temp,
                          std::span(reinterpret_cast<std::uint8_t const*>(text.data()), text.size()), leftover);
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
    // O_NONBLOCK so that opening a FIFO never waits for a writer; the type check below then refuses it.
    int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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

Result<std::string> read_text(std::filesystem::path const& path)
{
    auto fd = TRY(open_regular(path));
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(os_error(errno));
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

}
