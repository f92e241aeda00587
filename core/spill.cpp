#include "core/spill.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
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


void gather(ring::Ring const& ring, std::int64_t cutoff, std::vector<Job>& jobs)
{
    for (auto& [time, data] : ring.unspilled_before(cutoff))
        jobs.push_back(Job { ring.id, time, std::move(data) });
}

bool apply(ring::Ring& ring, Written const& record)
{
    return ring.mark_spilled(record.job.time, record.job.data,
                             ring::Spilled { 0, record.offset, record.file });
}

Spiller::Spiller(std::filesystem::path folder, std::uint64_t segment_limit)
    : m_folder(std::move(folder))
    , m_segment_limit(segment_limit)
{
}

Result<void> Spiller::prepare()
{
    if (m_prepared)
        return {};
    std::error_code error;
    std::filesystem::create_directories(m_folder, error);
    if (error)
        return fail(os_error(error.value()));
    // The folder holds what the game showed; nobody else needs to read it.
    if (::chmod(m_folder.c_str(), 0700) != 0)
        return fail(os_error(errno));
    // Leftovers of an earlier run are removed as far as the folder can be read: this runs on the spill thread,
    // where the throwing iteration would end the thread at the first read error.
    std::filesystem::directory_iterator it(m_folder, error);
    if (error)
        return fail(os_error(error.value()));
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error)
            break;
        auto const& path = it->path();
        if (path.extension() == ".seg") {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    }
    m_prepared = true;
    m_counter = 0;
    return {};
}

Spiller::Outcome Spiller::write(std::vector<Job> jobs)
{
    Outcome outcome;
    outcome.records.reserve(jobs.size());
    for (auto& job : jobs) {
        if (!m_current || m_current_size >= m_segment_limit) {
            auto name = fmt::format("{}-{}.seg", ::getpid(), m_counter);
            // A failed creation uses up its number too.
            ++m_counter;
            auto file = SpillFile::create_segment(m_folder / name);
            if (!file) {
                outcome.error = std::move(file).error();
                release_current();
                return outcome;
            }
            m_current = std::move(*file);
            m_current_size = 0;
        }
        std::span<std::uint8_t const> bytes;
        if (job.data)
            bytes = *job.data;
        if (auto written = m_current->write_at(bytes, m_current_size); !written) {
            outcome.error = std::move(written).error();
            release_current();
            return outcome;
        }
        std::uint64_t offset = m_current_size;
        m_current_size += bytes.size();
        outcome.records.push_back(Written { std::move(job), m_current, offset });
    }
    return outcome;
}

void Spiller::release_current()
{
    m_current.reset();
    m_current_size = 0;
}

}
