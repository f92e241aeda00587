#include "core/mp4.h"

#include <gtest/gtest.h>

#include "core/spill.h"
#include "tests/support/box_builder.h"
#include "tests/support/temp_dir.h"

using mp4::Bytes;
using testing_support::TempDirTest;

namespace {

constexpr std::int64_t second = 10'000'000;
constexpr std::int64_t ms = 10'000;

std::uint32_t be32(Bytes const& b, std::size_t at)
{
    return (std::uint32_t(b[at]) << 24) | (std::uint32_t(b[at + 1]) << 16) | (std::uint32_t(b[at + 2]) << 8) | b[at + 3];
}

std::uint64_t be64(Bytes const& b, std::size_t at) { return (std::uint64_t(be32(b, at)) << 32) | be32(b, at + 4); }

std::string type_at(Bytes const& b, std::size_t at) { return std::string(b.begin() + at + 4, b.begin() + at + 8); }

// Finds a box by path ("moov/trak#1/mdia/mdhd": #n picks the n-th box of that type among its siblings);
// returns its start, or npos.
std::size_t find_box(Bytes const& b, std::string const& path, std::size_t from = 0, std::size_t to = std::string::npos)
{
    if (to == std::string::npos)
        to = b.size();
    auto slash = path.find('/');
    std::string head = path.substr(0, slash);
    std::size_t wanted = 0;
    if (auto hash = head.find('#'); hash != std::string::npos) {
        wanted = std::stoul(head.substr(hash + 1));
        head = head.substr(0, hash);
    }
    for (std::size_t at = from; at + 8 <= to;) {
        std::uint64_t size = be32(b, at);
        std::size_t header = 8;
        if (size == 1) {
            size = be64(b, at + 8);
            header = 16;
        }
        if (size < header || at + size > to)
            return std::string::npos;
        if (type_at(b, at) == head && wanted-- == 0) {
            if (slash == std::string::npos)
                return at;
            return find_box(b, path.substr(slash + 1), at + header, at + size);
        }
        at += size;
    }
    return std::string::npos;
}

using box_builder::concat;

Bytes type_bytes(char const* type) { return Bytes(type, type + 4); }

ring::Sample memory_sample(std::int64_t time, bool key, std::size_t size, std::uint8_t fill = 0)
{
    return ring::Sample { ring::Memory { make_shared_bytes(Bytes(size, fill)) }, time,
                          static_cast<std::uint8_t>(key ? 1 : 0) };
}

std::vector<ring::Sample> series(std::int64_t from, std::int64_t to, std::int64_t step, std::size_t size = 4,
                                 int key_every = 1)
{
    std::vector<ring::Sample> samples;
    int i = 0;
    for (std::int64_t t = from; t < to; t += step, ++i)
        samples.push_back(memory_sample(t, i % key_every == 0, size, static_cast<std::uint8_t>(i)));
    return samples;
}

mp4::VideoConfig video_config(std::uint8_t codec = 0)
{
    return mp4::VideoConfig { { 1, 66, 0xC0, 30, 0xFF, 0xE1, 0, 0, 1, 0, 0 }, 320, 240, codec };
}

} // namespace

TEST(Mp4Ftyp, NamesTheCodecSampleEntry)
{
    struct Row {
        std::uint8_t codec;
        char const* entry;
    };
    for (auto const& [codec, entry] : { Row { 0, "avc1" }, Row { 1, "hvc1" }, Row { 2, "av01" } }) {
        SCOPED_TRACE(entry);
        Bytes expected = concat({ { 0, 0, 0, 32 }, type_bytes("ftyp"), type_bytes("isom"), { 0, 0, 2, 0 },
                                  type_bytes("isom"), type_bytes("iso2"), type_bytes("mp41"), type_bytes(entry) });
        EXPECT_EQ(mp4::write_ftyp(codec), expected);
    }
}

TEST(Mp4SampleDurations, RoundsCumulativePositions)
{
    struct Row {
        char const* name;
        std::vector<std::int64_t> times;
        std::uint32_t timescale;
        std::vector<std::uint32_t> durations;
    };
    Row const rows[] = {
        { "empty", {}, 90000, {} },
        { "single sample gets last", { 5 }, 90000, { 777 } },
        { "166,666 ticks apart", { 0, 166666, 333332, 499998 }, 90000, { 1499, 1500, 1500, 777 } },
        { "166,667 ticks apart", { 0, 166667, 333334, 500001 }, 90000, { 1500, 1500, 1500, 777 } },
        { "truncated 60 fps times", { 0, 166666, 333333, 500000 }, 90000, { 1499, 1500, 1501, 777 } },
        { "equal times give zero", { 0, 0, 10 * ms }, 90000, { 0, 900, 777 } },
        { "decreasing time gives zero", { 0, 20 * ms, 10 * ms }, 1000, { 20, 0, 777 } },
        { "aac frames at 48 kHz", { 0, 213333, 426666, 640000 }, 48000, { 1023, 1024, 1025, 777 } },
        { "gap beyond 32 bits is clamped", { 0, 1'000'000 * second }, 90000, { 0xFFFFFFFF, 777 } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(mp4::sample_durations(row.times, row.timescale, row.times.empty() ? 0 : row.times[0], 777),
                  row.durations);
    }
    // 60 fps for ten seconds: the sum is exactly the rounded span.
    std::vector<std::int64_t> times;
    for (int i = 0; i <= 600; ++i)
        times.push_back(i * second / 60);
    auto d = mp4::sample_durations(times, 90000, 0, 0);
    d.pop_back();
    std::uint64_t sum = 0;
    for (auto v : d) {
        sum += v;
        EXPECT_TRUE(v >= 1499 && v <= 1501) << v;
    }
    EXPECT_EQ(sum, 900000u);
}

TEST(Mp4BuildTracks, VideoLastDurationAndAudioStartOffset)
{
    mp4::SampleTable video;
    video.times = { 0, 333333 };
    mp4::SampleTable audio;
    audio.times = { 30 * ms, 30 * ms + 213333 };
    mp4::AudioConfig aac { 48000, 128000, 2 };
    auto config = video_config();
    auto tracks = mp4::build_tracks(config, video, &aac, audio);
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].durations, (std::vector<std::uint32_t> { 2999, 2999 }));
    EXPECT_EQ(tracks[0].track_id, 1u);
    EXPECT_EQ(tracks[1].track_id, 2u);
    EXPECT_EQ(tracks[1].timescale, 48000u);
    EXPECT_EQ(tracks[1].start_offset, std::uint64_t(30 * ms));
    EXPECT_EQ(tracks[1].durations, (std::vector<std::uint32_t> { 1023, 1024 }));

    audio.times = { -5 * ms, 0 };
    tracks = mp4::build_tracks(config, video, &aac, audio);
    EXPECT_EQ(tracks[1].start_offset, 0u);

    mp4::SampleTable one;
    one.times = { 42 };
    EXPECT_EQ(mp4::build_tracks(config, one, &aac, mp4::SampleTable {}).size(), 1u);
    EXPECT_EQ(mp4::build_tracks(config, one, nullptr, audio).size(), 1u);
    EXPECT_EQ(mp4::build_tracks(config, one, nullptr, audio)[0].durations, (std::vector<std::uint32_t> { 1499 }));
}

TEST(Mp4Boxes, EmptyEditDelaysLateAudio)
{
    mp4::AudioConfig aac { 48000, 128000, 2 };
    mp4::SampleTable table;
    mp4::Track track;
    track.audio = &aac;
    track.table = &table;
    track.timescale = 48000;
    track.durations = std::vector<std::uint32_t>(47, 1024); // 48128 samples: 1002 ms
    track.start_offset = 30 * ms + 9999;
    Bytes out;
    mp4::write_edts(out, track);
    Bytes expected = concat({ { 0, 0, 0, 48 }, type_bytes("edts"), { 0, 0, 0, 40 }, type_bytes("elst"),
                              { 0, 0, 0, 0, 0, 0, 0, 2 }, { 0, 0, 0, 30, 0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 0, 0 },
                              { 0, 0, 0x03, 0xEA, 0, 0, 0, 0, 0, 1, 0, 0 } });
    EXPECT_EQ(out, expected);
    // A delay past 2^32 ms (a corrupt audio time) switches elst to 64-bit entries instead of wrapping.
    track.start_offset = (std::uint64_t(1) << 32) * ms;
    out.clear();
    mp4::write_edts(out, track);
    ASSERT_EQ(out.size(), 8u + 16 + 2 * 20);
    EXPECT_EQ(out[16], 1);
    EXPECT_EQ(be64(out, 24), std::uint64_t(1) << 32);
    EXPECT_EQ(be64(out, 32), ~std::uint64_t(0));
    EXPECT_EQ(be64(out, 44), 1002u);
    track.start_offset = 0;
    out.clear();
    mp4::write_edts(out, track);
    EXPECT_TRUE(out.empty());
}

TEST(Mp4Boxes, SmallTablesByteForByte)
{
    Bytes out;
    mp4::write_stts(out, std::vector<std::uint32_t> { 1500, 1500, 1499, 1500, 1500 });
    EXPECT_EQ(out, concat({ { 0, 0, 0, 40 }, type_bytes("stts"), { 0, 0, 0, 0, 0, 0, 0, 3 }, { 0, 0, 0, 2, 0, 0, 0x05, 0xDC },
                            { 0, 0, 0, 1, 0, 0, 0x05, 0xDB }, { 0, 0, 0, 2, 0, 0, 0x05, 0xDC } }));
    out.clear();
    mp4::write_stsc(out, std::vector<mp4::Chunk> { { 0, 60 }, { 1, 60 }, { 2, 60 }, { 3, 30 } });
    EXPECT_EQ(out, concat({ { 0, 0, 0, 40 }, type_bytes("stsc"), { 0, 0, 0, 0, 0, 0, 0, 2 },
                            { 0, 0, 0, 1, 0, 0, 0, 60, 0, 0, 0, 1 }, { 0, 0, 0, 4, 0, 0, 0, 30, 0, 0, 0, 1 } }));
    out.clear();
    std::vector<mp4::Chunk> chunks { { 0, 1 }, { 0x10, 1 } };
    mp4::write_chunk_offsets(out, chunks, 0xFFFFFFF8, false);
    EXPECT_EQ(out, concat({ { 0, 0, 0, 24 }, type_bytes("stco"), { 0, 0, 0, 0, 0, 0, 0, 2 },
                            { 0xFF, 0xFF, 0xFF, 0xF8 }, { 0, 0, 0, 8 } }));
    out.clear();
    mp4::write_chunk_offsets(out, chunks, 0xFFFFFFF8, true);
    EXPECT_EQ(out, concat({ { 0, 0, 0, 32 }, type_bytes("co64"), { 0, 0, 0, 0, 0, 0, 0, 2 },
                            { 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xF8 }, { 0, 0, 0, 1, 0, 0, 0, 8 } }));
    out.clear();
    mp4::write_dinf(out);
    EXPECT_EQ(out, concat({ { 0, 0, 0, 36 }, type_bytes("dinf"), { 0, 0, 0, 28 }, type_bytes("dref"),
                            { 0, 0, 0, 0, 0, 0, 0, 1 }, { 0, 0, 0, 12 }, type_bytes("url "), { 0, 0, 0, 1 } }));
    out.clear();
    mp4::write_mdhd(out, 90000, 12345);
    EXPECT_EQ(out, concat({ { 0, 0, 0, 32 }, type_bytes("mdhd"), Bytes(12, 0), { 0, 1, 0x5F, 0x90 },
                            { 0, 0, 0x30, 0x39 }, { 0x55, 0xC4, 0, 0 } }));
    out.clear();
    mp4::write_colr(out);
    EXPECT_EQ(out, concat({ { 0, 0, 0, 19 }, type_bytes("colr"), type_bytes("nclx"), { 0, 1, 0, 1, 0, 1, 0 } }));
    EXPECT_EQ(mp4::clip_uses_co64(2'147'483'647), false);
    EXPECT_EQ(mp4::clip_uses_co64(2'147'483'648), true);
}

TEST(Mp4Boxes, AacConfigUsesTheWholeFrequencyTable)
{
    struct Row {
        std::uint32_t rate;
        std::uint16_t channels;
        Bytes config;
    };
    Row const rows[] = {
        { 48000, 2, { 0x11, 0x90 } }, { 44100, 2, { 0x12, 0x10 } }, { 96000, 1, { 0x10, 0x08 } },
        { 32000, 2, { 0x12, 0x90 } }, { 24000, 2, { 0x13, 0x10 } }, { 22050, 1, { 0x13, 0x88 } },
        { 16000, 1, { 0x14, 0x08 } }, { 8000, 1, { 0x15, 0x88 } },  { 7350, 2, { 0x16, 0x10 } },
        // Outside the table: escape 15 and the rate written in 24 bits.
        { 50000, 2, { 0x17, 0x80, 0x61, 0xA8, 0x10 } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.rate);
        mp4::AudioConfig audio { row.rate, 96000, row.channels };
        EXPECT_EQ(mp4::audio_specific_config(audio), row.config);
        Bytes esds;
        mp4::write_esds(esds, audio);
        ASSERT_EQ(esds.size(), 37 + row.config.size());
        EXPECT_EQ(be32(esds, 0), esds.size());
        EXPECT_EQ(esds[13], esds.size() - 14);      // ES descriptor length
        EXPECT_EQ(esds[18], esds.size() - 19 - 3);  // decoder config length (SL descriptor follows)
        EXPECT_EQ(Bytes(esds.end() - 3, esds.end()), (Bytes { 6, 1, 2 }));
    }
}

TEST(Mp4Boxes, LongDurationsUseSixtyFourBitForms)
{
    Bytes ordinary;
    mp4::write_mdhd(ordinary, 90000, 0xFFFFFFFF);
    EXPECT_EQ(ordinary[8], 0);
    EXPECT_EQ(ordinary.size(), 32u);

    Bytes mvhd;
    mp4::write_mvhd(mvhd, 0x1'0000'0005, 3);
    ASSERT_EQ(mvhd.size(), 120u);
    EXPECT_EQ(mvhd[8], 1);
    EXPECT_EQ(be64(mvhd, 32), 0x1'0000'0005u);
    EXPECT_EQ(be32(mvhd, 116), 3u);
    mp4::SampleTable table;
    mp4::VideoConfig config = video_config();
    mp4::Track track { &config, nullptr, {}, &table, 0, 1, 90000 };
    Bytes tkhd;
    mp4::write_tkhd(tkhd, track, 0x1'0000'0007);
    ASSERT_EQ(tkhd.size(), 104u);
    EXPECT_EQ(tkhd[8], 1);
    EXPECT_EQ(be32(tkhd, 28), 1u);
    EXPECT_EQ(be64(tkhd, 36), 0x1'0000'0007u);
    tkhd.clear();
    mp4::write_tkhd(tkhd, track, 0xFFFF'FFFF);
    EXPECT_EQ(tkhd.size(), 92u);
    mvhd.clear();
    mp4::write_mvhd(mvhd, 1234, 3);
    ASSERT_EQ(mvhd.size(), 108u);
    EXPECT_EQ(be32(mvhd, 24), 1234u);
}

TEST(Mp4Moov, FourteenHourTrackKeepsItsLength)
{
    // One frame a second for 14 h at 90 kHz: 4.536e9 units, past 32 bits.
    mp4::SampleTable table;
    for (std::int64_t t = 0; t <= 14 * 3600; ++t)
        table.times.push_back(t * second);
    table.sizes.assign(table.times.size(), 1);
    table.sync = { 1 };
    table.chunks = { { 0, static_cast<std::uint32_t>(table.times.size()) } };
    auto config = video_config();
    auto tracks = mp4::build_tracks(config, table, nullptr, mp4::SampleTable {});
    std::uint64_t units = (14 * 3600 + 1) * 90000ull;
    EXPECT_EQ(tracks[0].duration_sum(), units);
    EXPECT_EQ(mp4::Track::duration_ticks(tracks), units * second / 90000);
    auto moov = mp4::write_moov(tracks, 100, false);
    auto mdhd = find_box(moov, "moov/trak/mdia/mdhd");
    ASSERT_NE(mdhd, std::string::npos);
    EXPECT_EQ(moov[mdhd + 8], 1);
    EXPECT_EQ(be64(moov, mdhd + 32), units);
    auto mvhd = find_box(moov, "moov/mvhd");
    EXPECT_EQ(moov[mvhd + 8], 0); // 50,401,000 ms still fits
    EXPECT_EQ(be32(moov, mvhd + 24), 50'401'000u);
}

TEST(Mp4Moov, EveryTkhdCarriesTheMovieDuration)
{
    mp4::SampleTable video;
    video.times = { 0, 500 * ms };
    video.sizes = { 1, 1 };
    video.sync = { 1 };
    video.chunks = { { 0, 2 } };
    mp4::SampleTable audio;
    for (int i = 0; i < 100; ++i)
        audio.times.push_back(30 * ms + i * 213333);
    audio.sizes.assign(100, 1);
    audio.chunks = { { 2, 100 } };
    mp4::AudioConfig aac { 48000, 128000, 2 };
    auto config = video_config();
    auto tracks = mp4::build_tracks(config, video, &aac, audio);
    auto moov = mp4::write_moov(tracks, 0, false);
    // Audio: 102,399 samples / 48 kHz = 2133 ms, + 30 ms late start, beyond the 1000 ms of video.
    std::uint32_t movie = 2163;
    EXPECT_EQ(be32(moov, find_box(moov, "moov/mvhd") + 24), movie);
    EXPECT_EQ(be32(moov, find_box(moov, "moov/mvhd") + 104), 3u);
    for (int trak = 0; trak < 2; ++trak) {
        SCOPED_TRACE(trak);
        auto tkhd = find_box(moov, "moov/trak#" + std::to_string(trak) + "/tkhd");
        ASSERT_NE(tkhd, std::string::npos);
        EXPECT_EQ(be32(moov, tkhd + 28), movie);
        EXPECT_EQ(be32(moov, tkhd + 20), std::uint32_t(trak + 1));
    }
    EXPECT_EQ(find_box(moov, "moov/trak#0/edts"), std::string::npos);
    EXPECT_NE(find_box(moov, "moov/trak#1/edts"), std::string::npos);
    EXPECT_EQ(find_box(moov, "moov/trak#1/mdia/minf/stbl/stss"), std::string::npos);
    EXPECT_NE(find_box(moov, "moov/trak#0/mdia/minf/stbl/stss"), std::string::npos);
    auto video_tkhd = find_box(moov, "moov/trak#0/tkhd");
    EXPECT_EQ(be32(moov, video_tkhd + 84), 320u << 16);
    EXPECT_EQ(be32(moov, video_tkhd + 88), 240u << 16);
}

namespace {

struct ChunkView {
    bool audio;
    std::int64_t first_time;
    std::int64_t last_time;
    std::uint32_t count;
};

std::vector<ChunkView> chunks_of(mp4::ClipLayout const& layout, std::vector<ring::Sample> const& video,
                                 std::vector<ring::Sample> const& audio)
{
    std::vector<ChunkView> views;
    for (auto const& chunk : layout.order) {
        auto const& list = chunk.audio ? audio : video;
        views.push_back({ chunk.audio, list[chunk.first].time, list[chunk.first + chunk.count - 1].time, chunk.count });
    }
    return views;
}

} // namespace

TEST(Mp4Layout, AlternatesOneSecondChunksVideoFirst)
{
    auto video = series(0, 25 * second / 10, second / 30, 100, 30);
    auto audio = series(0, 25 * second / 10, 213333, 10);
    auto layout = mp4::lay_out_clip(video, audio);
    auto chunks = chunks_of(layout, video, audio);
    ASSERT_EQ(chunks.size(), 6u);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(chunks[i].audio, i % 2 == 1);
        std::int64_t window = static_cast<std::int64_t>(i / 2) * second;
        EXPECT_GE(chunks[i].first_time, window);
        EXPECT_LT(chunks[i].last_time, window + second);
    }
    EXPECT_EQ(layout.video.sizes.size(), video.size());
    EXPECT_EQ(layout.audio.sizes.size(), audio.size());
    EXPECT_EQ(layout.video.sync, (std::vector<std::uint32_t> { 1, 31, 61 }));
    EXPECT_EQ(layout.audio.sync.size(), audio.size());
    // Offsets run back to back in file order.
    std::uint64_t offset = 0;
    std::size_t v = 0, a = 0;
    for (auto const& chunk : layout.order) {
        auto& table = chunk.audio ? layout.audio : layout.video;
        auto& index = chunk.audio ? a : v;
        EXPECT_EQ(table.chunks[index].offset, offset);
        offset += chunk.count * (chunk.audio ? 10u : 100u);
        ++index;
    }
    EXPECT_EQ(offset, layout.media_bytes);
}

TEST(Mp4Layout, AudioOutlastingVideoEndsInOneChunk)
{
    auto video = series(0, 25 * second / 10, second / 30);
    auto audio = series(0, 4 * second, 213333);
    auto chunks = chunks_of(mp4::lay_out_clip(video, audio), video, audio);
    ASSERT_EQ(chunks.size(), 6u);
    EXPECT_TRUE(chunks.back().audio);
    EXPECT_GE(chunks.back().first_time, 2 * second);
    EXPECT_EQ(chunks.back().last_time, audio.back().time);
}

TEST(Mp4Layout, JumpsOverGapsToTheNextSamplesWindow)
{
    std::vector<ring::Sample> video;
    for (std::int64_t t : { std::int64_t { 0 }, 5 * second / 10, 52 * second / 10, 53 * second / 10, 99 * second / 10 })
        video.push_back(memory_sample(t, t == 0, 1));
    std::vector<ring::Sample> audio;
    for (std::int64_t t : { second / 10, 71 * second / 10 })
        audio.push_back(memory_sample(t, true, 1));
    auto chunks = chunks_of(mp4::lay_out_clip(video, audio), video, audio);
    ASSERT_EQ(chunks.size(), 5u);
    EXPECT_EQ(chunks[0].count, 2u);          // video [0, 1 s)
    EXPECT_TRUE(chunks[1].audio);            // audio [0, 1 s)
    EXPECT_EQ(chunks[2].count, 2u);          // video [5 s, 6 s)
    EXPECT_TRUE(chunks[3].audio);            // audio [7 s, 8 s) with no video in that window
    EXPECT_EQ(chunks[3].first_time, 71 * second / 10);
    EXPECT_FALSE(chunks[4].audio);           // video [9 s, 10 s)

    // A corrupt time centuries ahead: one round, not one per second in between.
    std::vector<ring::Sample> far { memory_sample(-5, true, 1), memory_sample(4'000'000'000'000'000'000, false, 1),
                                    memory_sample(std::numeric_limits<std::int64_t>::max(), false, 1) };
    auto far_chunks = chunks_of(mp4::lay_out_clip(far, {}), far, {});
    ASSERT_EQ(far_chunks.size(), 3u);
}

class Mp4WriteFile : public TempDirTest { };

TEST_F(Mp4WriteFile, WritesIndexThenMediaWithAbsoluteOffsets)
{
    mp4::ClipMedia media;
    media.video = video_config();
    media.video_samples = series(0, 25 * second / 10, second / 30, 50, 30);
    media.audio_samples = series(30 * ms, 25 * second / 10, 213333, 7);
    // Move some video payloads to a segment file, as the spill thread does.
    auto segment = spill::SpillFile::create_segment(dir() / "1-0.seg");
    ASSERT_TRUE(segment);
    std::uint64_t at = 3;
    for (std::size_t i = 5; i < 40; i += 3) {
        auto& sample = media.video_samples[i];
        auto data = std::get<ring::Memory>(sample.payload).data;
        ASSERT_TRUE((*segment)->write_at(*data, at));
        sample.payload = ring::Spilled { static_cast<std::uint32_t>(data->size()), at, *segment };
        at += data->size();
    }
    mp4::AudioConfig aac { 48000, 128000, 2 };
    auto summary = mp4::write_mp4_file(dir(), "Partie 1", media, aac);
    ASSERT_TRUE(summary) << summary.error();
    EXPECT_FALSE(std::filesystem::exists(dir() / "Partie 1.mp4.part"));
    auto text = read_file(dir() / "Partie 1.mp4");
    Bytes file(text.begin(), text.end());
    EXPECT_EQ(summary->bytes, file.size());
    EXPECT_EQ(summary->video_count, media.video_samples.size());
    EXPECT_EQ(summary->audio_count, media.audio_samples.size());
    // Positions rounded down at 90 kHz, plus the last frame's own duration.
    std::uint64_t units = media.video_samples.back().time * 90000 / second + std::int64_t { 333333 } * 90000 / second;
    EXPECT_EQ(summary->duration_ticks, units * second / 90000);

    EXPECT_EQ(Bytes(file.begin(), file.begin() + 32), mp4::write_ftyp(0));
    ASSERT_EQ(type_at(file, 32), "moov");
    std::size_t mdat = 32 + be32(file, 32);
    ASSERT_EQ(type_at(file, mdat), "mdat");
    EXPECT_EQ(be32(file, mdat), 1u);
    EXPECT_EQ(be64(file, mdat + 8), file.size() - mdat);
    // Each chunk offset points at the bytes of the chunk's first sample.
    for (int trak = 0; trak < 2; ++trak) {
        SCOPED_TRACE(trak);
        auto const& samples = trak == 0 ? media.video_samples : media.audio_samples;
        auto stco = find_box(file, "moov/trak#" + std::to_string(trak) + "/mdia/minf/stbl/stco");
        auto stsc = find_box(file, "moov/trak#" + std::to_string(trak) + "/mdia/minf/stbl/stsc");
        ASSERT_NE(stco, std::string::npos);
        ASSERT_NE(stsc, std::string::npos);
        std::uint32_t chunks = be32(file, stco + 12);
        ASSERT_EQ(chunks, 3u);
        std::size_t first_sample = 0;
        std::uint32_t entries = be32(file, stsc + 12);
        for (std::uint32_t c = 0; c < chunks; ++c) {
            std::uint32_t per_chunk = 0;
            for (std::uint32_t e = 0; e < entries; ++e) {
                if (be32(file, stsc + 16 + e * 12) <= c + 1)
                    per_chunk = be32(file, stsc + 16 + e * 12 + 4);
            }
            std::uint32_t offset = be32(file, stco + 16 + c * 4);
            auto loaded = spill::load_sample(samples[first_sample]);
            ASSERT_TRUE(loaded);
            EXPECT_EQ(Bytes(file.begin() + offset, file.begin() + offset + loaded->data->size()), *loaded->data);
            first_sample += per_chunk;
        }
        EXPECT_EQ(first_sample, samples.size());
    }
}

TEST_F(Mp4WriteFile, RefusesClipsNotStartingOnAKeyframe)
{
    auto existing = write_file("Partie.mp4", "earlier clip");
    mp4::ClipMedia media;
    media.video = video_config();
    mp4::AudioConfig aac { 48000, 128000, 2 };
    media.audio_samples = series(0, second, 213333);
    for (bool empty : { true, false }) {
        SCOPED_TRACE(empty);
        media.video_samples = empty ? std::vector<ring::Sample> {} : series(0, second, second / 30, 10, 1000);
        if (!empty)
            media.video_samples.erase(media.video_samples.begin());
        auto written = mp4::write_mp4_file(dir(), "Partie", media, aac);
        ASSERT_FALSE(written);
        EXPECT_EQ(written.error(), "Écriture impossible : clip must start on a keyframe");
        EXPECT_FALSE(std::filesystem::exists(dir() / "Partie.mp4.part"));
        EXPECT_EQ(read_file(existing), "earlier clip");
    }
}

TEST_F(Mp4WriteFile, FailuresLeaveNoPartAndNeverTouchTheFinalFile)
{
    mp4::ClipMedia media;
    media.video = video_config();
    media.video_samples = series(0, second, second / 30, 10, 30);

    // The part file cannot be created.
    auto existing = write_file("A.mp4", "earlier clip");
    std::filesystem::create_directory(dir() / "A.mp4.part");
    auto written = mp4::write_mp4_file(dir(), "A", media, std::nullopt);
    ASSERT_FALSE(written);
    EXPECT_TRUE(written.error().starts_with("Écriture impossible : ")) << written.error();
    EXPECT_TRUE(written.error().ends_with(" (os error 21)")) << written.error();
    EXPECT_EQ(read_file(existing), "earlier clip");
    EXPECT_TRUE(std::filesystem::is_directory(dir() / "A.mp4.part"));

    // The move fails: a folder holds the final name.
    std::filesystem::create_directory(dir() / "B.mp4");
    written = mp4::write_mp4_file(dir(), "B", media, std::nullopt);
    ASSERT_FALSE(written);
    EXPECT_FALSE(std::filesystem::exists(dir() / "B.mp4.part"));
    EXPECT_TRUE(std::filesystem::is_directory(dir() / "B.mp4"));

    // A spilled payload whose segment is too short.
    auto segment = spill::SpillFile::create_segment(dir() / "1-0.seg");
    ASSERT_TRUE(segment);
    media.video_samples[3].payload = ring::Spilled { 10, 0, *segment };
    existing = write_file("C.mp4", "earlier clip");
    written = mp4::write_mp4_file(dir(), "C", media, std::nullopt);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), "Écriture impossible : failed to fill whole buffer");
    EXPECT_FALSE(std::filesystem::exists(dir() / "C.mp4.part"));
    EXPECT_EQ(read_file(existing), "earlier clip");

    // The folder does not exist.
    written = mp4::write_mp4_file(dir() / "missing", "D", media, std::nullopt);
    ASSERT_FALSE(written);
    EXPECT_TRUE(written.error().ends_with(" (os error 2)")) << written.error();
}
