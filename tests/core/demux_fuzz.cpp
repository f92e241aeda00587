// libFuzzer target for the MP4 reader: any bytes, read as a whole file and as a bare moov payload, must give a
// result or a "MP4 illisible" error, never a crash, a hang or an allocation beyond the input's size.
//
// The same bytes are also a recording's journal followed by two bytes that say how much of the media the file
// on disk holds (in thousandths of what the journal describes; above 1000, more than it): a journal cut or
// damaged anywhere, longer or shorter than its file, a file cut in the middle of a sample. What is completed
// must be a file the reader opens, every sample inside the bytes on disk, none of them cut away; what is refused
// (or found empty) is left untouched.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

#include "base/file_io.h"
#include "core/demux.h"
#include "core/mp4_journal.h"

namespace {

void check(Result<demux::OpenedFile> const& opened, std::size_t size)
{
    if (!opened)
        return;
    for (auto const* list : { &opened->video_samples, &opened->audio_samples }) {
        for (auto const& ref : *list) {
            if (ref.offset > size || ref.size > size - ref.offset)
                std::abort(); // a sample the writer would read past the end of the file
        }
    }
    auto const& video = opened->video_samples;
    if (!video.empty())
        demux::select_range(*opened, video[video.size() / 2].time, video.back().time);
}

// The most media a fuzzed journal may describe before its file is left out: the file is sparse, but its
// sample bytes are still walked by the reader's checks.
constexpr std::uint64_t max_file_media = 64 << 20;

void complete_journal(demux::Bytes bytes)
{
    if (bytes.size() < 2)
        return;
    auto journal = bytes.first(bytes.size() - 2);
    std::uint64_t permille = (std::uint64_t(bytes[bytes.size() - 2]) << 8) | bytes.back();
    auto contents = mp4::read_journal(journal);
    if (!contents)
        return;
    std::uint64_t media = 0;
    for (auto const* table : { &contents->video, &contents->audio }) {
        for (auto size : table->sizes)
            media += size;
    }
    if (media > max_file_media)
        return;
    std::uint64_t available = media * permille / 1000;

    int fd = ::memfd_create("recording", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    files::Fd owned(fd);
    mp4::Bytes head = mp4::write_ftyp(contents->header.video.codec);
    mp4::put_u32(head, 1);
    mp4::put_type(head, "mdat");
    mp4::put_u64(head, 0);
    if (!files::pwrite_all(fd, head, 0) || !files::truncate_fd(fd, head.size() + available))
        std::abort();
    auto completed = mp4::complete_from_journal(fd, journal);
    auto size = files::file_size(fd);
    if (!size)
        std::abort();
    if (!completed) {
        if (*size != head.size() + available)
            std::abort(); // a refused file must be left as it was
        return;
    }
    if (completed->completion == mp4::Completion::Empty) {
        if (*size != head.size() + available)
            std::abort(); // an empty recording is for the caller to remove, untouched until then
        return;
    }
    if (completed->completion != mp4::Completion::Indexed || completed->summary.bytes != *size
        || *size <= head.size() + available)
        std::abort(); // nothing but an index appended after every byte the file held
    auto opened = demux::read_index(fd);
    if (!opened || opened->video_samples.empty())
        std::abort(); // completed, yet our own reader refuses it
    for (auto const* list : { &opened->video_samples, &opened->audio_samples }) {
        for (auto const& ref : *list) {
            if (ref.offset < head.size() || ref.offset + ref.size > head.size() + available)
                std::abort(); // a sample indexed past the bytes the file held
        }
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    demux::Bytes bytes(data, size);
    check(demux::open_bytes(bytes), size);
    check(demux::parse_moov(bytes, size), size);
    complete_journal(bytes);
    return 0;
}
