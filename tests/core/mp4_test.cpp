#include "core/mp4.h"

#include <ranges>

#include <gtest/gtest.h>

#include "core/demux.h"
#include "core/spill.h"
#include "tests/support/box_builder.h"
#include "tests/support/temp_dir.h"

using mp4::Bytes;
using testing_support::TempDirTest;

namespace {

constexpr std::int64_t second = 10'000'000;
constexpr std::int64_t ms = 10'000;

std::uint32_t be32(demux::Bytes b, std::size_t at) { return demux::read_u32_at(b, at).value(); }

std::uint64_t be64(demux::Bytes b, std::size_t at) { return demux::read_u64_at(b, at).value(); }

// The payload of the box at `path` ("trak#1/tkhd": #n picks the n-th box of that type among its siblings),
// found with the reader's own box walk; empty when missing.
demux::Bytes payload_at(demux::Bytes bytes, std::string_view path)
{
    for (auto part : std::views::split(path, '/')) {
        std::string_view head(part.begin(), part.end());
        int wanted = 0;
        if (auto hash = head.find('#'); hash != head.npos) {
            wanted = head[hash + 1] - '0';
            head = head.substr(0, hash);
        }
        demux::Bytes found;
        for (auto const& box : demux::parse_boxes(bytes))
            if (box.is(head) && wanted-- == 0) {
                found = box.payload;
                break;
            }
        bytes = found;
    }
    return bytes;
}

using box_builder::concat;

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
    struct Row {
        std::uint64_t start_offset;
        std::uint8_t version;
        std::uint64_t empty_ms;
    };
    // A delay past 2^32 ms (a corrupt audio time) switches elst to 64-bit entries instead of wrapping.
    Row const rows[] = { { 30 * ms + 9999, 0, 30 }, { (std::uint64_t(1) << 32) * ms, 1, std::uint64_t(1) << 32 } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.version);
        track.start_offset = row.start_offset;
        Bytes out;
        mp4::write_edts(out, track);
        auto elst = payload_at(out, "edts/elst");
        std::size_t width = row.version ? 8 : 4;
        auto field = [&](std::size_t at) { return row.version ? be64(elst, at) : be32(elst, at); };
        ASSERT_EQ(elst.size(), 8 + 2 * (2 * width + 4));
        EXPECT_EQ(elst[0], row.version);
        EXPECT_EQ(field(8), row.empty_ms);
        EXPECT_EQ(field(8 + width), row.version ? ~0ull : 0xFFFFFFFFull); // media time -1: the empty edit
        EXPECT_EQ(field(12 + 2 * width), 1002u);
        EXPECT_EQ(field(12 + 3 * width), 0u);
    }
    track.start_offset = 0;
    Bytes out;
    mp4::write_edts(out, track);
    EXPECT_TRUE(out.empty());
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
        { 22050, 1, { 0x13, 0x88 } }, { 7350, 2, { 0x16, 0x10 } },
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
        EXPECT_EQ(esds[13], esds.size() - 14);     // ES descriptor length
        EXPECT_EQ(esds[18], esds.size() - 19 - 3); // decoder config length (SL descriptor follows)
    }
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
    EXPECT_EQ(mp4::Track::duration_ticks(tracks), units * second / 90000);
    auto moov = mp4::write_moov(tracks, 100, false);
    auto mdhd = payload_at(moov, "moov/trak/mdia/mdhd");
    ASSERT_FALSE(mdhd.empty());
    EXPECT_EQ(mdhd[0], 1);
    EXPECT_EQ(be64(mdhd, 24), units);
    auto mvhd = payload_at(moov, "moov/mvhd");
    EXPECT_EQ(mvhd[0], 0); // 50,401,000 ms still fits
    EXPECT_EQ(be32(mvhd, 16), 50'401'000u);
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
    EXPECT_EQ(be32(payload_at(moov, "moov/mvhd"), 16), movie);
    for (int trak = 0; trak < 2; ++trak) {
        SCOPED_TRACE(trak);
        auto tkhd = payload_at(moov, fmt::format("moov/trak#{}/tkhd", trak));
        ASSERT_FALSE(tkhd.empty());
        EXPECT_EQ(be32(tkhd, 20), movie);
        EXPECT_EQ(be32(tkhd, 12), std::uint32_t(trak + 1));
    }
    EXPECT_TRUE(payload_at(moov, "moov/trak#0/edts").empty());
    EXPECT_FALSE(payload_at(moov, "moov/trak#1/edts").empty());
    EXPECT_TRUE(payload_at(moov, "moov/trak#1/mdia/minf/stbl/stss").empty());
    EXPECT_FALSE(payload_at(moov, "moov/trak#0/mdia/minf/stbl/stss").empty());
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
    auto summary = mp4::write_mp4_file(dir(), "Partie 1", media, mp4::AudioConfig { 48000, 128000, 2 });
    ASSERT_TRUE(summary) << summary.error();
    EXPECT_FALSE(std::filesystem::exists(dir() / "Partie 1.mp4.part"));
    auto text = read_file(dir() / "Partie 1.mp4");
    Bytes file(text.begin(), text.end());
    EXPECT_EQ(summary->bytes, file.size());
    // Positions rounded down at 90 kHz, plus the last frame's own duration.
    std::uint64_t units = media.video_samples.back().time * 90000 / second + std::int64_t { 333333 } * 90000 / second;
    EXPECT_EQ(summary->duration_ticks, units * second / 90000);
    std::vector<std::string> order;
    for (auto const& box : demux::parse_boxes(file))
        order.emplace_back(box.type.begin(), box.type.end());
    EXPECT_EQ(order, (std::vector<std::string> { "ftyp", "moov", "mdat" }));

    // Every sample, spilled or not, is found at its own bytes.
    auto opened = demux::open_bytes(file);
    ASSERT_TRUE(opened) << opened.error();
    for (auto [refs, samples] : { std::pair { &opened->video_samples, &media.video_samples },
                                  std::pair { &opened->audio_samples, &media.audio_samples } }) {
        ASSERT_EQ(refs->size(), samples->size());
        for (std::size_t i = 0; i < refs->size(); ++i) {
            SCOPED_TRACE(i);
            auto loaded = spill::load_sample((*samples)[i]);
            ASSERT_TRUE(loaded);
            auto const& ref = (*refs)[i];
            ASSERT_LE(ref.offset + ref.size, file.size());
            EXPECT_EQ(Bytes(file.begin() + ref.offset, file.begin() + ref.offset + ref.size), *loaded->data);
        }
    }
}

TEST_F(Mp4WriteFile, FailuresLeaveNoPartAndNeverTouchTheFinalFile)
{
    mp4::ClipMedia good;
    good.video = video_config();
    good.video_samples = series(0, second, second / 30, 10, 30);
    auto no_keyframe = good;
    no_keyframe.video_samples.erase(no_keyframe.video_samples.begin());
    auto no_video = good;
    no_video.video_samples.clear();
    auto short_segment = good;
    auto segment = spill::SpillFile::create_segment(dir() / "1-0.seg");
    ASSERT_TRUE(segment);
    short_segment.video_samples[3].payload = ring::Spilled { 10, 0, *segment };
    std::filesystem::create_directory(dir() / "part.mp4.part"); // the part file cannot be created
    std::filesystem::create_directory(dir() / "move.mp4");      // the move fails: a folder holds the name
    struct Row {
        char const* name;
        mp4::ClipMedia const& media;
        char const* error_end;
    };
    Row const rows[] = {
        { "part", good, " (os error 21)" },
        { "move", good, "" },
        { "short", short_segment, "failed to fill whole buffer" },
        { "nokey", no_keyframe, "clip must start on a keyframe" },
        { "novideo", no_video, "clip must start on a keyframe" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto final_path = dir() / fmt::format("{}.mp4", row.name);
        if (!std::filesystem::exists(final_path)) {
            write_file(final_path.filename(), "earlier clip");
        }
        auto written = mp4::write_mp4_file(dir(), row.name, row.media, std::nullopt);
        ASSERT_FALSE(written);
        EXPECT_TRUE(written.error().starts_with("Écriture impossible : ")) << written.error();
        EXPECT_TRUE(written.error().ends_with(row.error_end)) << written.error();
        EXPECT_FALSE(std::filesystem::is_regular_file(dir() / fmt::format("{}.mp4.part", row.name)));
        if (!std::filesystem::is_directory(final_path)) {
            EXPECT_EQ(read_file(final_path), "earlier clip");
        }
    }
    auto written = mp4::write_mp4_file(dir() / "missing", "D", good, std::nullopt);
    ASSERT_FALSE(written);
    EXPECT_TRUE(written.error().ends_with(" (os error 2)")) << written.error();
}
