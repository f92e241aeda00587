#pragma once
// Builds MP4 boxes byte by byte for tests of the reader: each helper returns the bytes of one box, so a test
// can assemble exactly the file it needs, malformed ones included.

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace box_builder {

using Bytes = std::vector<std::uint8_t>;

inline void put(Bytes& out, std::uint64_t value, int width)
{
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}
inline void u16(Bytes& out, std::uint64_t value) { put(out, value, 2); }
inline void u32(Bytes& out, std::uint64_t value) { put(out, value, 4); }
inline void u64(Bytes& out, std::uint64_t value) { put(out, value, 8); }
inline void zeros(Bytes& out, std::size_t count) { out.insert(out.end(), count, 0); }
inline void append(Bytes& out, Bytes const& more) { out.insert(out.end(), more.begin(), more.end()); }
inline void fourcc(Bytes& out, std::string_view type) { out.insert(out.end(), type.begin(), type.end()); }

inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (auto const& part : parts)
        append(out, part);
    return out;
}

inline Bytes box(std::string_view type, Bytes const& body)
{
    Bytes out;
    u32(out, 8 + body.size());
    fourcc(out, type);
    append(out, body);
    return out;
}

inline Bytes large_box(std::string_view type, Bytes const& body)
{
    Bytes out;
    u32(out, 1);
    fourcc(out, type);
    u64(out, 16 + body.size());
    append(out, body);
    return out;
}

// Version and flags of a full box, then its fields.
inline Bytes full(std::uint8_t version, std::uint32_t flags = 0)
{
    Bytes out { version };
    put(out, flags, 3);
    return out;
}

// mvhd and mdhd: times, the timescale, then `tail` zero bytes.
inline Bytes timed(std::string_view type, std::uint32_t timescale, std::size_t tail)
{
    Bytes body = full(0);
    zeros(body, 8);
    u32(body, timescale);
    zeros(body, tail);
    return box(type, body);
}
inline Bytes mvhd(std::uint32_t timescale) { return timed("mvhd", timescale, 84); }
inline Bytes mdhd(std::uint32_t timescale) { return timed("mdhd", timescale, 8); }

inline Bytes hdlr(std::string_view handler)
{
    Bytes body = full(0);
    u32(body, 0);
    fourcc(body, handler);
    zeros(body, 12);
    body.push_back(0);
    return box("hdlr", body);
}

inline Bytes video_entry(std::string_view type, std::string_view config_type, Bytes const& record,
                         std::uint16_t width, std::uint16_t height)
{
    Bytes body;
    zeros(body, 6);
    u16(body, 1);
    zeros(body, 16);
    u16(body, width);
    u16(body, height);
    u32(body, 0x00480000);
    u32(body, 0x00480000);
    u32(body, 0);
    u16(body, 1);
    zeros(body, 32);
    u16(body, 0x18);
    u16(body, 0xFFFF);
    append(body, box(config_type, record));
    return box(type, body);
}

inline Bytes stsd(Bytes const& entry)
{
    Bytes body = full(0);
    u32(body, 1);
    append(body, entry);
    return box("stsd", body);
}

// A version 0 full box: a first field (the entry count, mostly), then 32-bit fields.
inline Bytes table(std::string_view type, std::size_t first, std::vector<std::uint32_t> const& fields)
{
    Bytes body = full(0);
    u32(body, first);
    for (auto field : fields)
        u32(body, field);
    return box(type, body);
}

inline Bytes u32_table(std::string_view type, std::vector<std::uint32_t> const& values)
{
    return table(type, values.size(), values);
}

// stts from (count, delta) runs.
inline Bytes stts(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> runs)
{
    std::vector<std::uint32_t> fields;
    for (auto [count, delta] : runs)
        fields.insert(fields.end(), { count, delta });
    return table("stts", runs.size(), fields);
}

inline Bytes stsc(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> entries)
{
    std::vector<std::uint32_t> fields;
    for (auto [first, per_chunk] : entries)
        fields.insert(fields.end(), { first, per_chunk, 1 });
    return table("stsc", entries.size(), fields);
}

inline Bytes stsz(std::uint32_t constant_size, std::uint32_t count, std::vector<std::uint32_t> sizes = {})
{
    sizes.insert(sizes.begin(), count);
    return table("stsz", constant_size, sizes);
}

inline Bytes co64(std::vector<std::uint64_t> const& offsets)
{
    Bytes body = full(0);
    u32(body, offsets.size());
    for (auto offset : offsets)
        u64(body, offset);
    return box("co64", body);
}

// A trak around an stbl body, with an optional edts.
inline Bytes trak(std::string_view handler, std::uint32_t timescale, Bytes const& stbl_body, Bytes const& edts = {})
{
    Bytes minf = box("minf", box("stbl", stbl_body));
    Bytes mdia = box("mdia", concat({ mdhd(timescale), hdlr(handler), minf }));
    return box("trak", concat({ edts, mdia }));
}

}
