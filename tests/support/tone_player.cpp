#include "tests/support/tone_player.h"

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

#include <fmt/format.h>

#include "tests/support/media_check.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace testing_support {

TonePlayer::~TonePlayer()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

bool TonePlayer::start()
{
    m_dir = make_temp_dir("quillmar-tone");
    auto wav = (m_dir / "tone.wav").string();
    auto made = media::run({ "sox", "-n", "-r", "48000", "-c", "2", "-b", "16", wav, "synth",
                             fmt::format("{}", m_seconds), "sine", fmt::format("{}", m_frequency_hz), "vol", "0.5" });
    if (made.status != 0) {
        m_error = "sox: " + made.output;
        return false;
    }
    // A small playback latency, as a game asks for: the null sink then renders in small blocks instead of
    // the two seconds paplay asks for by default.
    char const* argv[] = { "paplay", "--latency-msec=20", wav.c_str(), nullptr };
    if (int code = posix_spawnp(&m_pid, "paplay", nullptr, nullptr, const_cast<char**>(argv), environ); code != 0) {
        m_pid = -1;
        m_error = fmt::format("paplay: error {}", code);
        return false;
    }
    return true;
}

}
