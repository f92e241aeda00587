#pragma once
// Sound capture seam. The audio thread creates one AudioBackend for its whole run (a connection to the
// sound server, driven from that thread only) and opens through it up to two AudioStreams: the sound the
// computer plays (loopback of an output device) and a microphone. A stream never blocks when read: it hands
// over whatever the server has delivered since the last read, each packet stamped with the engine-clock time
// at which its first frame was captured. The endpoint list is called from any thread (the API's workers) and
// uses a connection of its own.
//
// Format everywhere: 48,000 frames per second, two channels, signed 16-bit samples interleaved left, right.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace platform {

// Endpoint direction: 0 lists the outputs (what loopback captures), 1 the microphones.
enum class AudioFlow : std::uint8_t { Render = 0, Capture = 1 };

// Which source a stream feeds: the loopback of an output device, or a microphone.
enum class AudioRole : std::uint8_t { Output = 0, Microphone = 1 };

struct AudioDevice {
    std::string id;    // stable endpoint id, as stored in the settings
    std::string name;  // what the player sees
    bool is_default { false };
};

struct AudioPacket {
    std::int64_t time { 0 };            // engine-clock ticks of the first frame's capture
    std::vector<std::int16_t> samples;  // interleaved stereo; empty when `silent`
    std::uint32_t frames { 0 };
    bool silent { false };              // the server reported a hole: `frames` of silence
};

class AudioStream {
public:
    virtual ~AudioStream() = default;
    // Appends every packet ready now, in capture order; never waits for sound. An error means the stream is
    // lost (device gone, server gone): the caller drops it and opens a new one later.
    virtual Result<void> read(std::vector<AudioPacket>& out) = 0;
};

class AudioBackend {
public:
    virtual ~AudioBackend() = default;
    // Opens a capture stream for `role`. `device` is an endpoint id from list_endpoints; an id that no longer
    // exists falls back to the default endpoint of the same flow. Waits only for the server's answer.
    // Every stream must be destroyed before its backend.
    virtual Result<std::unique_ptr<AudioStream>> open(AudioRole role, std::optional<std::string> const& device) = 0;
};

struct AudioDriver {
    std::string_view name;
    Result<std::unique_ptr<AudioBackend>> (*create)();
    Result<std::vector<AudioDevice>> (*list_endpoints)(AudioFlow flow);
};

}

namespace platform {
// The PulseAudio driver (platform/linux/pulse_source.cpp).
extern AudioDriver const pulse_audio_driver;
}
