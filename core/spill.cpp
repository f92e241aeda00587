#include "core/spill.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace spill {

Result<std::shared_ptr<SpillFile>> SpillFile::create_segment(std::filesystem::path const& path)
{
    auto fd = TRY(files::open_read_write(path, files::Create::Exclusive, 0600));
    // Nothing but our own handles ever needs the name; without it the file goes with its last reference.
    if (::unlink(path.c_str()) != 0)
        return fail(os_error(errno));
    return std::make_shared<SpillFile>(std::move(fd));
}

std::shared_ptr<SpillFile> SpillFile::adopt(files::Fd fd) { return std::make_shared<SpillFile>(std::move(fd)); }

Result<void> SpillFile::read_at(std::span<std::uint8_t> data, std::uint64_t offset) const
{
    return files::pread_exact(m_fd.get(), data, offset);
}

Result<void> SpillFile::write_at(std::span<std::uint8_t const> data, std::uint64_t offset) const
{
    return files::pwrite_all(m_fd.get(), data, offset);
}

Result<Packet> load_sample(ring::Sample const& sample)
{
    if (auto const* memory = std::get_if<ring::Memory>(&sample.payload))
        return Packet { memory->data, sample.time, sample.flags };
    auto const& spilled = std::get<ring::Spilled>(sample.payload);
    if (!spilled.file)
        return fail(os_error(EBADF));
    std::vector<std::uint8_t> bytes(spilled.len);
    TRY_VOID(spilled.file->read_at(bytes, spilled.offset));
    return Packet { make_shared_bytes(std::move(bytes)), sample.time, sample.flags };
}

}
