#pragma once
// Pure helpers over encoded video bytes: split an Annex-B stream (H.264, HEVC) into NAL units, split an AV1
// low-overhead stream into OBUs, and build the decoder configuration record (avcC, hvcC, av1C body) that an
// MP4 sample entry needs, from one encoded keyframe. No state, no I/O; callable from any thread.
//
// The records declare 4-byte length prefixes for H.264 and HEVC (lengthSizeMinusOne = 3): samples stored in
// MP4 files carry each NAL unit behind a 32-bit big-endian length.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/codec.h"

namespace bitstream {

using Bytes = std::span<std::uint8_t const>;

// One AV1 OBU inside a stream; both slices refer into the input.
struct Obu {
    Bytes whole;   // header, optional extension byte, optional size field and payload
    Bytes payload;
    std::uint8_t obu_type { 0 };
};

// Most-significant-bit-first reader; pos counts bits from the start of data.
struct BitReader {
    Bytes data;
    std::uint64_t len { 0 }; // bytes
    std::uint64_t pos { 0 }; // bits

    explicit BitReader(Bytes bytes) : data(bytes), len(bytes.size()) {}
    // The next n bits (1 to 32); none when the data ends first (the bits already read stay consumed).
    std::optional<std::uint32_t> read_bits(unsigned n);
    // Skips one uvlc() value; false when the data ends first.
    bool read_uvlc();
};

// NAL units without their start codes; trailing zero bytes are cut from every unit but the last. The slices
// refer into data.
std::vector<Bytes> split_annexb(Bytes data);
// Every OBU up to the first malformed one (a malformed tail is dropped silently).
std::vector<Obu> split_obus(Bytes data);
// The configuration record body (without the box header) of the codec from one keyframe; none when a
// parameter set or sequence header is missing or too short.
std::optional<std::vector<std::uint8_t>> decoder_config(Codec codec, Bytes data);
// Whether `record` reads as a configuration record of the codec: its fields where they belong, its parameter
// sets (or sequence header) whole and of their own type, no byte left over. Tells a record damaged in storage.
bool is_decoder_config(Codec codec, Bytes record);

}
