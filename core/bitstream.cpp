#include "core/bitstream.h"

namespace bitstream {

std::optional<std::uint32_t> BitReader::read_bits(unsigned n)
{
    std::uint32_t value = 0;
    for (unsigned i = 0; i < n; ++i) {
        if (pos / 8 >= len)
            return std::nullopt;
        value = (value << 1) | ((data[pos / 8] >> (7 - pos % 8)) & 1);
        ++pos;
    }
    return value;
}

bool BitReader::read_uvlc()
{
    unsigned zeros = 0;
    for (;;) {
        auto bit = read_bits(1);
        if (!bit)
            return false;
        if (*bit)
            break;
        if (++zeros == 32)
            return true;
    }
    for (unsigned i = 0; i < zeros; ++i) {
        if (!read_bits(1))
            return false;
    }
    return true;
}

std::vector<Bytes> split_annexb(Bytes data)
{
    std::vector<Bytes> units;
    if (data.size() < 3)
        return units;
    std::vector<std::size_t> starts;
    for (std::size_t p = 0; p + 3 <= data.size();) {
        if (data[p] == 0 && data[p + 1] == 0 && data[p + 2] == 1) {
            starts.push_back(p);
            p += 3;
        } else {
            ++p;
        }
    }
    for (std::size_t i = 0; i < starts.size(); ++i) {
        std::size_t begin = starts[i] + 3;
        std::size_t end = i + 1 < starts.size() ? starts[i + 1] : data.size();
        if (i + 1 < starts.size()) {
            // The leading 00 of a 4-byte start code belongs to no unit.
            while (end > begin && data[end - 1] == 0)
                --end;
        }
        if (end > begin)
            units.push_back(data.subspan(begin, end - begin));
    }
    return units;
}

std::vector<Obu> split_obus(Bytes data)
{
    std::vector<Obu> obus;
    std::size_t start = 0;
    while (start < data.size()) {
        std::uint8_t header = data[start];
        bool has_extension = header & 0x04;
        bool has_size = header & 0x02;
        std::size_t payload_start = start + 1 + (has_extension ? 1 : 0);
        std::size_t size = 0;
        if (has_size) {
            std::uint64_t value = 0;
            std::size_t i = 0;
            bool done = false;
            for (; i < 8; ++i) {
                if (payload_start + i >= data.size())
                    return obus;
                std::uint8_t byte = data[payload_start + i];
                value |= std::uint64_t(byte & 0x7F) << (7 * i);
                if (!(byte & 0x80)) {
                    done = true;
                    break;
                }
            }
            if (!done)
                return obus;
            payload_start += i + 1;
            if (value > data.size())
                return obus;
            size = static_cast<std::size_t>(value);
        } else {
            size = payload_start < data.size() ? data.size() - payload_start : 0;
        }
        if (payload_start > data.size() || size > data.size() - payload_start)
            return obus;
        std::size_t end = payload_start + size;
        obus.push_back(Obu { data.subspan(start, end - start), data.subspan(payload_start, size),
                             static_cast<std::uint8_t>((header >> 3) & 15) });
        start = end;
    }
    return obus;
}

static void put_u16(std::vector<std::uint8_t>& out, std::size_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

static std::optional<std::vector<std::uint8_t>> avc_config(Bytes data)
{
    std::optional<Bytes> sps, pps;
    for (auto unit : split_annexb(data)) {
        int type = unit[0] & 0x1F;
        if (type == 7 && !sps)
            sps = unit;
        else if (type == 8 && !pps)
            pps = unit;
    }
    if (!sps || !pps || sps->size() < 4)
        return std::nullopt;
    std::vector<std::uint8_t> record { 0x01, (*sps)[1], (*sps)[2], (*sps)[3], 0xFF, 0xE1 };
    put_u16(record, sps->size());
    record.insert(record.end(), sps->begin(), sps->end());
    record.push_back(0x01);
    put_u16(record, pps->size());
    record.insert(record.end(), pps->begin(), pps->end());
    std::uint8_t profile = (*sps)[1];
    if (profile == 100 || profile == 110 || profile == 122 || profile == 144)
        record.insert(record.end(), { 0xFD, 0xF8, 0xF8, 0x00 });
    return record;
}

static std::optional<std::vector<std::uint8_t>> hevc_config(Bytes data)
{
    std::optional<Bytes> sets[3]; // VPS, SPS, PPS
    for (auto unit : split_annexb(data)) {
        int type = (unit[0] & 0x7E) >> 1;
        if (type >= 32 && type <= 34 && !sets[type - 32])
            sets[type - 32] = unit;
    }
    if (!sets[0] || !sets[1] || !sets[2])
        return std::nullopt;
    // The profile bytes are read from the SPS without its emulation-prevention bytes.
    std::vector<std::uint8_t> clean;
    int zeros = 0;
    for (auto byte : *sets[1]) {
        if (byte == 0x03 && zeros >= 2) {
            zeros = 0;
            continue;
        }
        clean.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    if (clean.size() < 15)
        return std::nullopt;
    std::vector<std::uint8_t> record { 0x01 };
    record.insert(record.end(), clean.begin() + 3, clean.begin() + 15);
    record.insert(record.end(), { 0xF0, 0x00, 0xFC, 0xFD, 0xF8, 0xF8, 0x00, 0x00, 0x0F, 0x03 });
    for (int i = 0; i < 3; ++i) {
        record.push_back(static_cast<std::uint8_t>(0xA0 + i));
        put_u16(record, 1);
        put_u16(record, sets[i]->size());
        record.insert(record.end(), sets[i]->begin(), sets[i]->end());
    }
    return record;
}

static std::optional<std::vector<std::uint8_t>> av1_config(Bytes data)
{
    std::optional<Obu> header;
    for (auto const& obu : split_obus(data)) {
        if (obu.obu_type == 1) {
            header = obu;
            break;
        }
    }
    if (!header || header->payload.empty())
        return std::nullopt;
    Bytes payload = header->payload;
    std::uint8_t seq_profile = payload[0] >> 5;
    std::uint32_t level = 0;
    std::uint32_t tier = 0;
    if (payload[0] & 0x08) {
        if (payload.size() < 2)
            return std::nullopt;
        level = ((payload[0] & 7) << 2) | (payload[1] >> 6);
    } else {
        BitReader reader(payload);
        reader.pos = 6;
        if (payload[0] & 0x04) {
            if (payload.size() < 5)
                return std::nullopt;
            reader.pos = 38; // past num_units_in_display_tick
            if (!reader.read_bits(32))
                return std::nullopt;
            auto equal_picture_interval = reader.read_bits(1);
            if (!equal_picture_interval || (*equal_picture_interval && !reader.read_uvlc()))
                return std::nullopt;
            auto decoder_model_info = reader.read_bits(1);
            if (!decoder_model_info)
                return std::nullopt;
            if (*decoder_model_info) {
                if (!reader.read_bits(5) || !reader.read_bits(32) || !reader.read_bits(5) || !reader.read_bits(5))
                    return std::nullopt;
            }
        }
        // initial_display_delay_present_flag, operating_points_cnt_minus_1, operating_point_idc[0]
        if (!reader.read_bits(1) || !reader.read_bits(5) || !reader.read_bits(12))
            return std::nullopt;
        auto level_bits = reader.read_bits(5);
        if (!level_bits)
            return std::nullopt;
        level = *level_bits;
        if (level > 7) {
            auto tier_bit = reader.read_bits(1);
            if (!tier_bit)
                return std::nullopt;
            tier = *tier_bit;
        }
    }
    std::vector<std::uint8_t> record { 0x81, static_cast<std::uint8_t>((seq_profile << 5) | level),
                                       static_cast<std::uint8_t>((tier << 7) | 0x0C), 0x00 };
    record.insert(record.end(), header->whole.begin(), header->whole.end());
    return record;
}

// Reads `count` units, each behind a 16-bit length, from `at` on; each must satisfy `type_ok`.
template <typename TypeOk> static bool read_units(Bytes record, std::size_t& at, std::size_t count, TypeOk type_ok)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (record.size() - at < 2)
            return false;
        std::size_t length = (std::size_t(record[at]) << 8) | record[at + 1];
        at += 2;
        if (length == 0 || record.size() - at < length || !type_ok(record.subspan(at, length)))
            return false;
        at += length;
    }
    return true;
}

static bool is_avc_record(Bytes r)
{
    // Version 1, the profile bytes, then reserved bits set around the length size and the count of SPS.
    if (r.size() < 7 || r[0] != 1 || (r[4] & 0xFC) != 0xFC || (r[5] & 0xE0) != 0xE0 || (r[5] & 0x1F) == 0)
        return false;
    auto nal = [](int type) { return [type](Bytes unit) { return (unit[0] & 0x9F) == type; }; };
    std::size_t at = 6;
    if (!read_units(r, at, r[5] & 0x1F, nal(7)) || at == r.size())
        return false;
    // The profile bytes are those of the first SPS.
    if (((std::size_t(r[6]) << 8) | r[7]) < 4 || r[9] != r[1] || r[10] != r[2] || r[11] != r[3])
        return false;
    std::size_t pps = r[at++];
    if (pps == 0 || !read_units(r, at, pps, nal(8)))
        return false;
    if (at == r.size())
        return true;
    // High profiles may add chroma format and bit depths (reserved bits set) and SPS extensions.
    if (r.size() - at < 4 || (r[at] & 0xFC) != 0xFC || (r[at + 1] & 0xF8) != 0xF8 || (r[at + 2] & 0xF8) != 0xF8)
        return false;
    std::size_t extensions = r[at + 3];
    at += 4;
    return read_units(r, at, extensions, nal(13)) && at == r.size();
}

static bool is_hevc_record(Bytes r)
{
    if (r.size() < 23 || r[0] != 1 || (r[13] & 0xF0) != 0xF0 || (r[15] & 0xFC) != 0xFC || (r[16] & 0xFC) != 0xFC
        || (r[17] & 0xF8) != 0xF8 || (r[18] & 0xF8) != 0xF8)
        return false;
    std::size_t at = 23;
    bool sps = false, pps = false;
    for (std::size_t array = 0; array < r[22]; ++array) {
        if (r.size() - at < 3 || (r[at] & 0x40))
            return false;
        int type = r[at] & 0x3F;
        std::size_t count = (std::size_t(r[at + 1]) << 8) | r[at + 2];
        at += 3;
        auto same_type = [type](Bytes unit) { return unit.size() >= 2 && (unit[0] & 0xFE) == type << 1; };
        if (!read_units(r, at, count, same_type))
            return false;
        sps = sps || (type == 33 && count > 0);
        pps = pps || (type == 34 && count > 0);
    }
    return at == r.size() && sps && pps;
}

static bool is_av1_record(Bytes r)
{
    // Marker and version, then the sequence header OBU, whole, whose profile the record repeats, and metadata.
    if (r.size() < 5 || r[0] != 0x81 || (r[3] & 0xE0) != 0)
        return false;
    auto obus = split_obus(r.subspan(4));
    if (obus.empty() || obus.front().obu_type != 1 || obus.front().payload.empty()
        || (obus.front().payload[0] >> 5) != (r[1] >> 5))
        return false;
    for (auto const& obu : obus) {
        if (obu.obu_type != 1 && obu.obu_type != 5)
            return false;
    }
    return obus.back().whole.data() + obus.back().whole.size() == r.data() + r.size();
}

bool is_decoder_config(Codec codec, Bytes record)
{
    switch (codec) {
    case Codec::H264:
        return is_avc_record(record);
    case Codec::Hevc:
        return is_hevc_record(record);
    case Codec::Av1:
        return is_av1_record(record);
    }
    return false;
}

std::optional<std::vector<std::uint8_t>> decoder_config(Codec codec, Bytes data)
{
    switch (codec) {
    case Codec::H264:
        return avc_config(data);
    case Codec::Hevc:
        return hevc_config(data);
    case Codec::Av1:
        return av1_config(data);
    }
    return std::nullopt;
}

}
