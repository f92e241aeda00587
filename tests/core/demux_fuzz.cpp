// libFuzzer target for the MP4 reader: any bytes, read as a whole file and as a bare moov payload, must give a
// result or a "MP4 illisible" error, never a crash, a hang or an allocation beyond the input's size.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/demux.h"

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

}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    demux::Bytes bytes(data, size);
    check(demux::open_bytes(bytes), size);
    check(demux::parse_moov(bytes, size), size);
    return 0;
}
