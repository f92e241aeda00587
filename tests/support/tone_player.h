#pragma once
// Plays a sine tone into the default PulseAudio sink for the sound tests: sox writes the tone as a WAV file,
// paplay plays it as a child process, stopped by its process id when the player dies.

#include <filesystem>
#include <string>

#include <sys/types.h>

namespace testing_support {

class TonePlayer {
public:
    TonePlayer(double frequency_hz, double seconds)
        : m_frequency_hz(frequency_hz)
        , m_seconds(seconds)
    {
    }
    ~TonePlayer();
    TonePlayer(TonePlayer const&) = delete;
    TonePlayer& operator=(TonePlayer const&) = delete;

    bool start();
    std::string const& error() const { return m_error; }

private:
    double m_frequency_hz;
    double m_seconds;
    std::filesystem::path m_dir;
    pid_t m_pid { -1 };
    std::string m_error;
};

}
