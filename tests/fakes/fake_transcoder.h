#pragma once
// A transcoder for tests: probes give a set answer, and each encode writes a file of the next set size at
// the output (sparse, so sizes past the limit cost nothing), remembering its target.

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "platform/transcode.h"

namespace fakes {

class FakeTranscoder final : public platform::Transcoder {
public:
    Result<platform::MediaInfo> probe { platform::MediaInfo { 30.0, 1920, 1080, 60, 1 } };
    std::vector<std::uint64_t> sizes { 9'000'000 }; // per attempt; the last one repeats
    std::optional<std::string> refuse; // the encode's error, when set
    std::vector<platform::TranscodeTarget> targets;

    Result<platform::MediaInfo> probe_media(std::filesystem::path const&) override { return probe; }

    Result<void> transcode_h264(std::filesystem::path const&, std::filesystem::path const& output,
        platform::TranscodeTarget const& target) override
    {
        auto size = sizes[std::min(targets.size(), sizes.size() - 1)];
        targets.push_back(target);
        if (refuse)
            return fail(*refuse);
        int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return fail(os_error(errno));
        int status = ::ftruncate(fd, static_cast<off_t>(size));
        ::close(fd);
        if (status != 0)
            return fail(os_error(errno));
        return {};
    }
};

}
