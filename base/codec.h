#pragma once
// The video codecs the program records. Every layer names them: the settings store them, the encoders are
// probed and opened for one, the MP4 writer picks its sample entry by one, the API reports them.

#include <cstdint>

// The numbers are the stored form and never change; the settings files spell them by name ("H264", "Hevc",
// "Av1").
enum class Codec : std::uint8_t { H264 = 0, Hevc = 1, Av1 = 2 };

// In the order encoders are probed and caps lists them.
inline constexpr Codec all_codecs[] = { Codec::H264, Codec::Hevc, Codec::Av1 };
