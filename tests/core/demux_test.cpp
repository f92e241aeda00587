#include "core/demux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/box_builder.h"
#include "tests/support/temp_dir.h"

using namespace box_builder;
using demux::SampleRef;

namespace {

constexpr std::uint64_t media_start = 48; // ftyp (32) + 64-bit mdat header (16)

Bytes ftyp()
{
    Bytes body;
    fourcc(body, "isom");
    u32(body, 512);
    for (auto brand : { "isom", "iso2", "mp41", "avc1" })
        fourcc(body, brand);
    return box("ftyp", body);
}

// ftyp, a 64-bit mdat of `media_bytes` zero bytes, then moov: the recording layout.
Bytes file_with(Bytes const& moov_body, std::size_t media_bytes)
{
    Bytes out = ftyp();
    append(out, large_box("mdat", Bytes(media_bytes, 0)));
    append(out, box("moov", moov_body));
    return out;
}

Bytes avc_entry() { return video_entry("avc1", "avcC", { 1, 0x64, 0, 0x28, 0xFF }, 1920, 1080); }

// A video stbl of `count` samples of `size` bytes, `per_chunk` to a chunk, 1500 ticks apart at 90 kHz,
// stored from the start of the media data.
Bytes video_stbl(std::uint32_t count, std::uint32_t size, std::uint32_t per_chunk, Bytes const& stss)
{
    std::vector<std::uint32_t> chunk_offsets;
    for (std::uint32_t i = 0; i < count; i += per_chunk)
        chunk_offsets.push_back(static_cast<std::uint32_t>(media_start + std::uint64_t { i } * size));
    return concat({ stsd(avc_entry()), stts({ { count, 1500 } }), stss, stsc({ { 1, per_chunk } }),
                    stsz(0, count, std::vector<std::uint32_t>(count, size)), u32_table("stco", chunk_offsets) });
}

Result<demux::OpenedFile> open(Bytes const& file) { return demux::open_bytes(file); }

std::string error_of(Result<demux::OpenedFile> const& result) { return result ? "ok" : result.error(); }

}

TEST(DemuxParseBoxes, StopsAtTheFirstMalformedBox)
{
    struct Row {
        char const* name;
        Bytes bytes;
        std::vector<std::string> types;
    };
    Bytes too_small;
    u32(too_small, 7);
    fourcc(too_small, "free");
    Bytes large_too_small;
    u32(large_too_small, 1);
    fourcc(large_too_small, "free");
    u64(large_too_small, 15);
    Bytes to_end;
    u32(to_end, 0);
    fourcc(to_end, "mdat");
    zeros(to_end, 5);
    Bytes past_end = box("free", Bytes(4, 0));
    past_end[3] = 20;
    Bytes large_past_end = large_box("mdat", Bytes(4, 0));
    large_past_end[15] = 0xFF;
    Row const rows[] = {
        { "32-bit sizes", concat({ box("free", {}), box("skip", Bytes(3, 1)) }), { "free", "skip" } },
        { "64-bit size", concat({ large_box("mdat", Bytes(9, 0)), box("moov", {}) }), { "mdat", "moov" } },
        { "size 0 runs to the end", concat({ box("free", {}), to_end }), { "free", "mdat" } },
        { "size below 8", concat({ box("free", {}), too_small, box("moov", {}) }), { "free" } },
        { "64-bit size below 16", concat({ large_too_small, box("moov", {}) }), {} },
        { "box past the end", concat({ box("free", {}), past_end }), { "free" } },
        { "64-bit box past the end", large_past_end, {} },
        { "trailing bytes", concat({ box("free", {}), Bytes(7, 0) }), { "free" } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> types;
        for (auto const& found : demux::parse_boxes(row.bytes))
            types.emplace_back(found.type.begin(), found.type.end());
        EXPECT_EQ(types, row.types);
    }
}

TEST(DemuxParseTrak, ReadsStartOffsetFromAnEmptyEdit)
{
    Bytes stbl_body = video_stbl(1, 10, 1, {});
    Bytes elst_v1_body = full(1);
    u32(elst_v1_body, 1);
    u64(elst_v1_body, 30);
    u64(elst_v1_body, ~0ull);
    u32(elst_v1_body, 0x00010000);
    Bytes elst_no_entry = full(0);
    u32(elst_no_entry, 0);
    Bytes elst_count_zero = full(0);
    u32(elst_count_zero, 0);
    u32(elst_count_zero, 30);
    u32(elst_count_zero, 0xFFFFFFFF);
    struct Row {
        char const* name;
        Bytes edts;
        std::uint32_t movie_timescale;
        Result<std::int64_t> start;
    };
    Row const rows[] = {
        { "no edts", {}, 1000, 0 },
        { "30 ms empty edit", elst(30, -1), 1000, 300'000 },
        { "version 1", box("edts", box("elst", elst_v1_body)), 1000, 300'000 },
        { "media time 0", elst(30, 0), 1000, 0 },
        { "movie timescale 0", elst(30, -1), 0, 0 },
        { "no entry", box("edts", box("elst", elst_no_entry)), 1000, fail("MP4 illisible : trop court") },
        { "entry count 0", box("edts", box("elst", elst_count_zero)), 1000, 0 },
        { "empty elst", box("edts", box("elst", {})), 1000, fail("MP4 illisible : trop court") },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes whole = trak("soun", 48000, stbl_body, row.edts);
        auto info = demux::parse_trak(demux::Bytes(whole).subspan(8), row.movie_timescale);
        if (row.start) {
            ASSERT_TRUE(info) << info.error();
            EXPECT_EQ(info->start_offset, *row.start);
            EXPECT_EQ(info->timescale, 48000u);
            EXPECT_EQ(std::string(info->handler.data(), 4), "soun");
        } else {
            ASSERT_FALSE(info);
            EXPECT_EQ(info.error(), row.start.error());
        }
    }
}

TEST(DemuxParseVideoEntry, KnowsTheThreeCodecsAndTheirVariants)
{
    struct Row {
        char const* entry;
        char const* config;
        Result<std::uint8_t> codec;
    };
    Row const rows[] = {
        { "avc1", "avcC", 0 }, { "avc3", "avcC", 0 }, { "hvc1", "hvcC", 1 }, { "hev1", "hvcC", 1 },
        { "av01", "av1C", 2 }, { "vp09", "vpcC", fail("MP4 illisible : codec vidéo inconnu") },
        { "hev1", "avcC", fail("MP4 illisible : configuration vidéo") },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.entry);
        Bytes record = { 1, 2, 3, 4, 5, 6 };
        Bytes stsd_box = stsd(video_entry(row.entry, row.config, record, 2560, 1440));
        auto config = demux::parse_video_entry(demux::Bytes(stsd_box).subspan(8));
        if (row.codec) {
            ASSERT_TRUE(config) << config.error();
            EXPECT_EQ(config->codec, *row.codec);
            EXPECT_EQ(config->width, 2560u);
            EXPECT_EQ(config->height, 1440u);
            EXPECT_EQ(config->record, record);
        } else {
            EXPECT_EQ(config.error(), row.codec.error());
        }
    }
}

TEST(DemuxParseAudioEntry, ReadsBitrateFromEsdsOrFallsBack)
{
    Bytes truncated_esds = esds(128'000);
    truncated_esds.resize(truncated_esds.size() - 14);
    truncated_esds[3] = static_cast<std::uint8_t>(truncated_esds.size());
    Bytes other_tag = esds(128'000);
    other_tag[12] = 0x05;
    Bytes long_lengths = full(0);
    for (std::uint8_t byte : { 0x03, 0x80, 0x80, 0x80, 0x19, 0x00, 0x01, 0x80, 0x00, 0x07, 0x04, 0x80, 0x11, 0x40,
                               0x15, 0x00, 0x00, 0x00 })
        long_lengths.push_back(byte);
    u32(long_lengths, 1);
    u32(long_lengths, 96'000);
    struct Row {
        char const* name;
        Bytes extra;
        std::uint32_t bitrate;
    };
    Row const rows[] = {
        { "written esds", esds(160'000), 160'000 },
        { "esds after another box", concat({ box("btrt", Bytes(12, 0)), esds(128'000) }), 128'000 },
        { "no esds", {}, 192'000 },
        { "truncated esds", truncated_esds, 192'000 },
        { "ES descriptor of another tag", other_tag, 192'000 },
        { "long lengths and dependsOn", box("esds", long_lengths), 96'000 },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes stsd_box = stsd(audio_entry(2, 48000, row.extra));
        auto config = demux::parse_audio_entry(demux::Bytes(stsd_box).subspan(8));
        ASSERT_TRUE(config) << config.error();
        EXPECT_EQ(config->bitrate, row.bitrate);
        EXPECT_EQ(config->sample_rate, 48000u);
        EXPECT_EQ(config->channels, 2u);
    }
    Bytes video = stsd(avc_entry());
    EXPECT_EQ(demux::parse_audio_entry(demux::Bytes(video).subspan(8)).error(), "MP4 illisible : codec audio inconnu");
    Bytes short_entry = stsd(box("mp4a", Bytes(27, 0)));
    EXPECT_EQ(demux::parse_audio_entry(demux::Bytes(short_entry).subspan(8)).error(), "MP4 illisible : trop court");
}

TEST(DemuxParseStbl, ExpandsStscRunsOverChunks)
{
    // 60, 60, 60, 30, 30 samples of 10 bytes in five chunks.
    std::vector<std::uint32_t> offsets;
    std::uint32_t position = 100;
    for (std::uint32_t count : { 60, 60, 60, 30, 30 }) {
        offsets.push_back(position);
        position += count * 10 + 7; // a gap between chunks
    }
    Bytes body = concat({ stts({ { 240, 3000 } }), stsc({ { 1, 60 }, { 4, 30 } }),
                          stsz(0, 240, std::vector<std::uint32_t>(240, 10)), u32_table("stco", offsets),
                          u32_table("stss", { 1, 121 }) });
    auto samples = demux::parse_stbl(body, 90000, 5, 1'000'000);
    ASSERT_TRUE(samples) << samples.error();
    ASSERT_EQ(samples->size(), 240u);
    auto time_of = [](std::int64_t i) { return i * 3000 * 10'000'000 / 90000 + 5; };
    EXPECT_EQ((*samples)[0], (SampleRef { 5, 100, 10, 1 }));
    EXPECT_EQ((*samples)[59], (SampleRef { time_of(59), 690, 10, 0 }));
    EXPECT_EQ((*samples)[60], (SampleRef { time_of(60), offsets[1], 10, 0 }));
    EXPECT_EQ((*samples)[120].sync, 1);
    EXPECT_EQ((*samples)[180].offset, offsets[3]);
    EXPECT_EQ((*samples)[210].offset, offsets[4]);
    EXPECT_EQ((*samples)[239].offset, offsets[4] + 290);
}

TEST(DemuxParseStbl, ConstantSizeAndCo64)
{
    Bytes body = concat({ stts({ { 2, 1024 }, { 1, 512 } }), stsc({ { 1, 2 } }), stsz(300, 3),
                          co64({ 0x1'0000'0000ull, 0x1'0000'1000ull }) });
    auto samples = demux::parse_stbl(body, 48000, 0, 0x2'0000'0000ull);
    ASSERT_TRUE(samples) << samples.error();
    std::vector<SampleRef> expected = {
        { 0, 0x1'0000'0000ull, 300, 1 },
        { 213'333, 0x1'0000'0000ull + 300, 300, 1 },
        { 426'666, 0x1'0000'1000ull, 300, 1 },
    };
    EXPECT_EQ(*samples, expected);
}

// Tables can claim billions of samples in a few bytes; only what stsz lists is expanded, and a table whose
// samples cannot all lie inside the file is refused before anything is allocated for it.
TEST(DemuxParseStbl, RefusesMissingShortAndOversizedTables)
{
    Bytes good_stts = stts({ { 1, 1 } });
    Bytes good_stsc = stsc({ { 1, 1 } });
    Bytes good_stsz = stsz(0, 1, { 4 });
    Bytes good_stco = u32_table("stco", { 0 });
    auto shortened = [](Bytes table) {
        table[15] = 2; // claims two entries, holds one
        return table;
    };
    auto const short_read = fail("MP4 illisible : trop court");
    auto const incoherent = fail("MP4 illisible : table des échantillons incohérente");
    struct Row {
        char const* name;
        Bytes body;
        Result<std::size_t> count;
    };
    Row const rows[] = {
        { "no stsz", concat({ good_stts, good_stsc, good_stco }), fail("MP4 illisible : stsz") },
        { "no stco", concat({ good_stts, good_stsc, good_stsz }), fail("MP4 illisible : stco") },
        { "no stsc", concat({ good_stts, good_stsz, good_stco }), fail("MP4 illisible : stsc") },
        { "no stts", concat({ good_stsc, good_stsz, good_stco }), fail("MP4 illisible : stts") },
        { "stsz header cut", concat({ good_stts, good_stsc, box("stsz", Bytes(11, 0)), good_stco }), short_read },
        { "stsz sizes cut", concat({ good_stts, good_stsc, stsz(0, 2, { 4 }), good_stco }), short_read },
        { "stco cut", concat({ good_stts, good_stsc, good_stsz, shortened(good_stco) }), short_read },
        { "stts cut", concat({ shortened(good_stts), good_stsc, good_stsz, good_stco }), short_read },
        { "stsc cut", concat({ good_stts, shortened(good_stsc), good_stsz, good_stco }), short_read },
        { "more sizes than chunks hold", concat({ good_stts, good_stsc, stsz(0, 2, { 4, 4 }), good_stco }), incoherent },
        { "stsc starting at chunk 2", concat({ good_stts, stsc({ { 2, 1 } }), good_stsz, good_stco }), incoherent },
        { "stts run of 4 billion", concat({ stts({ { 0xFFFFFFFF, 1 } }), stsc({ { 1, 2 } }), stsz(0, 2, { 4, 4 }),
                                             u32_table("stco", { 0 }) }),
          2 },
        { "constant size, more sample bytes than the file",
          concat({ stts({ { 0xFFFFFFFF, 1 } }), stsc({ { 1, 0xFFFFFFFF } }), stsz(1, 1001),
                   u32_table("stco", { 0 }) }),
          incoherent },
        { "sample past the end", concat({ stts({ { 2, 1 } }), stsc({ { 1, 2 } }), stsz(0, 2, { 4, 4 }),
                                          u32_table("stco", { 993 }) }),
          incoherent },
        { "chunk past the end", concat({ stts({ { 1, 1 } }), stsc({ { 1, 1 } }), stsz(0, 1, { 0 }),
                                         co64({ ~0ull }) }),
          incoherent },
        { "chunks repeating one offset, sizes adding up past the file",
          concat({ stts({ { 3, 1 } }), stsc({ { 1, 1 } }), stsz(0, 3, { 400, 400, 400 }),
                   u32_table("stco", { 0, 0, 0 }) }),
          incoherent },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto samples = demux::parse_stbl(row.body, 1000, 0, 1000);
        if (row.count) {
            ASSERT_TRUE(samples) << samples.error();
            EXPECT_EQ(samples->size(), *row.count);
        } else {
            ASSERT_FALSE(samples);
            EXPECT_EQ(samples.error(), row.count.error());
        }
    }
    // Even a file of a terabyte could not justify 2^24 + 1 one-byte samples declared in twelve bytes.
    Bytes huge = concat({ stts({ { 0xFFFFFFFF, 1 } }), stsc({ { 1, 0xFFFFFFFF } }),
                          stsz(1, demux::max_track_samples + 1), u32_table("stco", { 0 }) });
    EXPECT_EQ(demux::parse_stbl(huge, 1000, 0, std::uint64_t { 1 } << 40).error(),
              "MP4 illisible : trop d'échantillons");
}

TEST(DemuxOpen, OpensTheClipAndTheRecordingLayouts)
{
    Bytes moov_body = concat({ mvhd(1000), trak("vide", 90000, video_stbl(4, 100, 2, u32_table("stss", { 1, 3 }))) });
    Bytes recording = file_with(moov_body, 400);
    auto opened = open(recording);
    ASSERT_TRUE(opened) << opened.error();
    EXPECT_EQ(opened->movie_timescale, 1000u);
    EXPECT_FALSE(opened->audio);
    EXPECT_EQ(opened->video.width, 1920u);
    std::vector<SampleRef> expected = {
        { 0, 48, 100, 1 }, { 166'666, 148, 100, 0 }, { 333'333, 248, 100, 1 }, { 500'000, 348, 100, 0 }
    };
    EXPECT_EQ(opened->video_samples, expected);

    // Clip layout: moov in front; its chunk offsets then point behind it.
    auto clip_body = [&](std::uint64_t base) {
        return concat({ mvhd(1000), trak("vide", 90000,
                                         concat({ stsd(avc_entry()), stts({ { 4, 1500 } }), u32_table("stss", { 1, 3 }),
                                                  stsc({ { 1, 2 } }), stsz(0, 4, { 100, 100, 100, 100 }),
                                                  co64({ base, base + 200 }) })) });
    };
    std::uint64_t shift = box("moov", clip_body(0)).size();
    Bytes clip = concat({ ftyp(), box("moov", clip_body(media_start + shift)), large_box("mdat", Bytes(400, 0)) });
    auto opened_clip = open(clip);
    ASSERT_TRUE(opened_clip) << opened_clip.error();
    ASSERT_EQ(opened_clip->video_samples.size(), 4u);
    EXPECT_EQ(opened_clip->video_samples[2].offset, media_start + shift + 200);
}

TEST(DemuxOpen, TakesTheFirstTrackOfEachKindAndShiftsAudioByItsEdit)
{
    Bytes audio_stbl = concat({ stsd(audio_entry(2, 48000, esds(192'000))), stts({ { 3, 1024 } }),
                                stsc({ { 1, 3 } }), stsz(0, 3, { 10, 10, 10 }), u32_table("stco", { 448 }) });
    Bytes moov_body = concat({ mvhd(1000), trak("text", 1000, stsd(box("tx3g", {}))), trak("soun", 48000, audio_stbl, elst(30, -1)),
                               trak("vide", 90000, video_stbl(4, 100, 4, {})),
                               trak("soun", 44100, stsd(box("ac-3", {}))), trak("vide", 90000, stsd(box("vp09", {}))) });
    auto opened = open(file_with(moov_body, 430));
    ASSERT_TRUE(opened) << opened.error();
    ASSERT_TRUE(opened->audio);
    EXPECT_EQ(opened->audio->sample_rate, 48000u);
    ASSERT_EQ(opened->audio_samples.size(), 3u);
    EXPECT_EQ(opened->audio_samples[0].time, 300'000);
    EXPECT_EQ(opened->audio_samples[1].time, 300'000 + 213'333);
    EXPECT_EQ(opened->video_samples.size(), 4u);
}

TEST(DemuxOpen, RefusesFilesWithoutAUsableIndex)
{
    Bytes unfinished = ftyp();
    append(unfinished, large_box("mdat", Bytes(1000, 7)));
    unfinished[47] = 0; // the size the recorder writes until it finishes
    unfinished[46] = 0;
    Bytes moov_body = concat({ mvhd(1000), trak("vide", 90000, video_stbl(2, 10, 2, {})) });
    Bytes good = file_with(moov_body, 20);
    Bytes truncated(good.begin(), good.end() - 1);
    // A moov whose 64-bit size claims far more than the file: the walk stops instead of allocating it.
    Bytes giant = ftyp();
    append(giant, large_box("moov", concat({ moov_body })));
    for (int i = 8; i < 12; ++i)
        giant[32 + i] = 0x7F;
    Bytes fuzz_empty_moov = concat({ ftyp(), box("moov", {}) });
    append(fuzz_empty_moov, { 0x08, 0x00, 0x19, 0xE7, 0x6D, 0x00, 0x12 });
    struct Row {
        char const* name;
        Bytes file;
        char const* error;
    };
    Row const rows[] = {
        { "empty", {}, "MP4 illisible : pas d'index" },
        { "seven bytes", Bytes(7, 0), "MP4 illisible : pas d'index" },
        { "unfinished recording", unfinished, "MP4 illisible : pas d'index" },
        { "moov cut short", truncated, "MP4 illisible : pas d'index" },
        { "giant 64-bit moov size", giant, "MP4 illisible : pas d'index" },
        { "no mvhd", file_with(trak("vide", 90000, video_stbl(2, 10, 2, {})), 20), "MP4 illisible : mvhd" },
        { "short mvhd", file_with(box("mvhd", Bytes(15, 0)), 0), "MP4 illisible : trop court" },
        { "no video", file_with(mvhd(1000), 0), "MP4 illisible : pas de vidéo" },
        { "no stsd", file_with(concat({ mvhd(1000), trak("meta", 1000, {}) }), 0), "MP4 illisible : stsd" },
        { "empty moov, found by fuzzing", fuzz_empty_moov, "MP4 illisible : mvhd" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(error_of(open(row.file)), row.error);
    }
}

class DemuxOpenFile : public testing_support::TempDirTest { };

TEST_F(DemuxOpenFile, ReadsFromDiskAndReportsSystemErrors)
{
    Bytes moov_body = concat({ mvhd(1000), trak("vide", 90000, video_stbl(2, 10, 2, {})) });
    Bytes bytes = file_with(moov_body, 20);
    auto path = dir() / "clip.mp4";
    write_file("clip.mp4", std::string(bytes.begin(), bytes.end()));
    auto opened = demux::open_file(path);
    ASSERT_TRUE(opened) << opened.error();
    EXPECT_EQ(opened->video_samples.size(), 2u);

    auto missing = demux::open_file(dir() / "missing.mp4");
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().ends_with(" (os error 2)")) << missing.error();

    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(bytes.size() - 4)), 0);
    EXPECT_EQ(error_of(demux::open_file(path)), "MP4 illisible : pas d'index");

    // Anything can be put in the clips folder: a folder or a FIFO named like a clip must not block or pass.
    std::filesystem::create_directory(dir() / "folder.mp4");
    EXPECT_TRUE(error_of(demux::open_file(dir() / "folder.mp4")).ends_with(" (os error 21)"));
    ASSERT_EQ(::mkfifo((dir() / "fifo.mp4").c_str(), 0600), 0);
    EXPECT_TRUE(error_of(demux::open_file(dir() / "fifo.mp4")).ends_with(" (os error 22)"));
}

TEST(DemuxSelectRange, StartsOnTheSyncSampleAtOrBeforeStart)
{
    demux::OpenedFile file;
    for (int i = 0; i < 10; ++i)
        file.video_samples.push_back({ i * 1'000'000, std::uint64_t(i) * 10, 10, std::uint8_t(i % 4 == 0) });
    file.audio = mp4::AudioConfig {};
    for (int i = 0; i < 20; ++i)
        file.audio_samples.push_back({ i * 500'000 + 100'000, 1000 + std::uint64_t(i) * 5, 5, 1 });

    struct Row {
        char const* name;
        std::int64_t start;
        std::int64_t end;
        std::size_t first_video;
        std::size_t video_count;
        std::size_t audio_count;
    };
    Row const rows[] = {
        { "between keyframes", 5'500'000, 7'000'000, 4, 3, 6 },
        { "exactly on a keyframe", 8'000'000, 9'000'000, 8, 1, 2 },
        { "before every sample", -5, 2'000'000, 0, 2, 4 },
        { "past the end", 50'000'000, 60'000'000, 8, 2, 4 },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto [video, audio] = demux::select_range(file, row.start, row.end);
        ASSERT_EQ(video.size(), row.video_count);
        EXPECT_EQ(video.front(), file.video_samples[row.first_video]);
        EXPECT_EQ(audio.size(), row.audio_count);
        for (auto const& ref : audio)
            EXPECT_GE(ref.time, video.front().time);
    }
}

TEST(DemuxSelectRange, HandlesTracksWithoutSyncSamplesOrAudio)
{
    demux::OpenedFile file;
    for (int i = 0; i < 5; ++i)
        file.video_samples.push_back({ i * 100, 0, 1, 0 });
    file.audio_samples.push_back({ 250, 0, 1, 1 }); // ignored without an AudioConfig
    auto [video, audio] = demux::select_range(file, 250, 1000);
    EXPECT_TRUE(video.empty());
    EXPECT_TRUE(audio.empty());

    for (auto& ref : file.video_samples)
        ref.sync = 1; // a track without stss
    std::tie(video, audio) = demux::select_range(file, 250, 1000);
    ASSERT_EQ(video.size(), 3u);
    EXPECT_EQ(video.front().time, 200);
    EXPECT_TRUE(audio.empty());

    std::tie(video, audio) = demux::select_range(file, 150, 100);
    EXPECT_TRUE(video.empty());
}
