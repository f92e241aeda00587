#include "tests/support/media_check.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace media {

CommandResult run(std::vector<std::string> const& argv)
{
    CommandResult result;
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (auto const& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    if (spawned != 0) {
        ::close(pipe_fds[0]);
        return result;
    }
    std::array<char, 65536> buffer;
    for (;;) {
        ssize_t n = ::read(pipe_fds[0], buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

namespace {

// A run's output parsed as JSON, or null when the run failed or printed something else.
nlohmann::json json_output(CommandResult const& result)
{
    if (result.status != 0)
        return nullptr;
    auto parsed = nlohmann::json::parse(result.output, nullptr, false);
    if (parsed.is_discarded())
        return nullptr;
    return parsed;
}

}

bool have_tool(std::string const& name)
{
    return run({ "sh", "-c", "command -v " + name }).status == 0;
}

nlohmann::json probe(std::filesystem::path const& path, std::string* errors)
{
    // Standard error goes to a separate run so that the JSON parses even when ffprobe warns.
    auto result = run({ "sh", "-c",
                        "ffprobe -v error -of json -show_streams -show_format -count_packets \"$0\" 2>/dev/null",
                        path.string() });
    if (errors) {
        // With no listing asked for, ffprobe prints only its complaints.
        *errors = run({ "ffprobe", "-v", "error", "-i", path.string() }).output;
    }
    return json_output(result);
}

nlohmann::json probe_frames(std::filesystem::path const& path, std::string const& stream)
{
    auto result = run({ "sh", "-c",
                        "ffprobe -v error -of json -select_streams \"$1\" -show_entries "
                        "frame=pts_time,key_frame,pict_type \"$0\" 2>/dev/null",
                        path.string(), stream });
    return json_output(result);
}

std::string decode_errors(std::filesystem::path const& path)
{
    auto result = run({ "ffmpeg", "-nostdin", "-v", "error", "-i", path.string(), "-f", "null", "-" });
    if (result.status != 0 && result.output.empty())
        return "ffmpeg exited with " + std::to_string(result.status);
    return result.output;
}

std::string gst_errors(std::filesystem::path const& path)
{
    auto result = run({ "gst-launch-1.0", "-q", "filesrc", "location=" + path.string(), "!", "qtdemux", "!",
                        "decodebin", "!", "fakesink" });
    if (result.status != 0)
        return result.output.empty() ? "gst-launch-1.0 exited with " + std::to_string(result.status)
                                     : result.output;
    return {};
}

void MediaTest::SetUp()
{
    TempDirTest::SetUp();
    if (!have_tool("ffprobe") || !have_tool("ffmpeg"))
        GTEST_SKIP() << "ffprobe/ffmpeg missing";
}

}
