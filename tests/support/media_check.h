#pragma once
// The only wrapper of outside validators (ffprobe, ffmpeg, gst-launch-1.0, djpeg): tools nobody here wrote
// judge the files we write. MediaTest skips when the tools are missing.

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/temp_dir.h"

namespace media {

// Polls another process's answer until it holds; the limit only bounds a failure.
template <class F>
bool poll_until(F const& done, std::chrono::milliseconds limit = std::chrono::seconds(30),
                std::chrono::milliseconds step = std::chrono::milliseconds(20))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

struct CommandResult {
    int status { -1 };   // exit status, or -1 when it could not run
    std::string output;  // standard output and standard error together
};

// Runs argv (no shell) and collects its output.
CommandResult run(std::vector<std::string> const& argv);
bool have_tool(std::string const& name);

// ffprobe -v error -of json -show_streams -show_format -count_packets: the parsed JSON, or null when
// ffprobe failed; `errors` receives whatever ffprobe printed on a failure or a warning.
nlohmann::json probe(std::filesystem::path const& path, std::string* errors = nullptr);
// ffprobe's frame list of stream 0 (video): pts_time, key_frame.
nlohmann::json probe_frames(std::filesystem::path const& path, std::string const& stream = "v:0");
// ffmpeg -v error -i path -f null -: empty string when every frame decoded silently, else what it said.
std::string decode_errors(std::filesystem::path const& path);
// gst-launch-1.0 filesrc ! qtdemux ! decodebin ! fakesink reaches EOS: empty string, else its output.
std::string gst_errors(std::filesystem::path const& path);

class MediaTest : public testing_support::TempDirTest {
protected:
    void SetUp() override;
};

}
