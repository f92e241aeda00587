#include "core/demux.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/box_builder.h"
#include "tests/support/temp_dir.h"

using namespace box_builder;

namespace {

constexpr std::uint64_t media_start = 48; // ftyp (32) + 64-bit mdat header (16)

// The reader skips ftyp whatever it says; 32 bytes, as our writers' is.
Bytes ftyp() { return box("ftyp", Bytes(24, 0)); }

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

std::string error_of(Result<demux::OpenedFile> const& result) { return result ? "ok" : result.error(); }

}

// Sizes that only a hand-made file has; boxes that reach past the end are in the opening table below.
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
    Row const rows[] = {
        { "size 0 runs to the end", concat({ box("free", {}), to_end }), { "free", "mdat" } },
        { "size below 8", concat({ box("free", {}), too_small, box("moov", {}) }), { "free" } },
        { "64-bit size below 16", concat({ large_too_small, box("moov", {}) }), {} },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> types;
        for (auto const& found : demux::parse_boxes(row.bytes))
            types.emplace_back(found.type.begin(), found.type.end());
        EXPECT_EQ(types, row.types);
    }
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
        { "stsz header cut", concat({ good_stts, good_stsc, box("stsz", Bytes(11, 0)), good_stco }), short_read },
        { "stco cut", concat({ good_stts, good_stsc, good_stsz, shortened(good_stco) }), short_read },
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

TEST(DemuxOpen, RefusesFilesWithoutAUsableIndex)
{
    Bytes moov_body = concat({ mvhd(1000), trak("vide", 90000, video_stbl(2, 10, 2, {})) });
    Bytes good = file_with(moov_body, 20);
    Bytes truncated(good.begin(), good.end() - 1);
    // A moov whose 64-bit size claims far more than the file: the walk stops instead of allocating it.
    Bytes giant = ftyp();
    append(giant, large_box("moov", concat({ moov_body })));
    for (int i = 8; i < 12; ++i)
        giant[32 + i] = 0x7F;
    auto with_elst = [](std::uint32_t entries) {
        Bytes body = full(0);
        u32(body, entries); // and not one entry follows
        Bytes edts = box("edts", box("elst", body));
        return file_with(concat({ mvhd(1000), trak("vide", 90000, video_stbl(2, 10, 2, {}), edts) }), 20);
    };
    Bytes fuzz_empty_moov = concat({ ftyp(), box("moov", {}) });
    append(fuzz_empty_moov, { 0x08, 0x00, 0x19, 0xE7, 0x6D, 0x00, 0x12 });
    struct Row {
        char const* name;
        Bytes file;
        char const* error;
    };
    Row const rows[] = {
        { "moov cut short", truncated, "MP4 illisible : pas d'index" },
        { "giant 64-bit moov size", giant, "MP4 illisible : pas d'index" },
        { "short mvhd", file_with(box("mvhd", Bytes(15, 0)), 0), "MP4 illisible : trop court" },
        { "no video", file_with(mvhd(1000), 0), "MP4 illisible : pas de vidéo" },
        { "no stsd", file_with(concat({ mvhd(1000), trak("meta", 1000, {}) }), 0), "MP4 illisible : stsd" },
        { "empty moov, found by fuzzing", fuzz_empty_moov, "MP4 illisible : mvhd" },
        { "edit list without entries, which is valid", with_elst(0), "ok" },
        { "edit list short of its entry", with_elst(1), "MP4 illisible : trop court" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(error_of(demux::open_bytes(row.file)), row.error);
    }
}

// Frames shown out of decode order: each sample's ctts offset (signed in either version) less the media
// time where the edit list starts the track, as ticks from its decode time. Decode times never move, and a
// track without ctts shows its frames in decode order whatever its edit says.
TEST(DemuxOpen, ReadsWhereEachFrameIsShown)
{
    // I P B B, 1/30 s apart at 90 kHz: shown I B B P once the edit has taken 3000 back.
    auto file = [](Bytes const& ctts, Bytes const& edts) {
        Bytes stbl = concat({ stsd(avc_entry()), stts({ { 4, 3000 } }), ctts, stsc({ { 1, 4 } }),
                              stsz(0, 4, std::vector<std::uint32_t>(4, 10)), u32_table("stco", { media_start }) });
        return file_with(concat({ mvhd(1000), trak("vide", 90000, stbl, edts) }), 40);
    };
    auto ctts = [](std::vector<std::uint32_t> runs) { return table("ctts", runs.size() / 2, runs); };
    auto elst = [](std::vector<std::uint32_t> entries) { // (duration, media time, rate) each
        return box("edts", table("elst", entries.size() / 3, entries));
    };
    constexpr std::uint32_t minus_3000 = 0xFFFFF448;
    std::vector<std::int64_t> const in_order { 0, 333'333, 666'666, 1'000'000 };
    std::vector<std::int64_t> const reordered { 0, 1'000'000, 333'333, 666'666 };
    struct Row {
        char const* name;
        Bytes file;
        Result<std::vector<std::int64_t>> shown;
        std::int64_t delay { 0 }; // ticks added to every time by an empty edit
    };
    Row const rows[] = {
        { "ctts behind an edit from 3000", file(ctts({ 1, 3000, 1, 9000, 2, 0 }), elst({ 133, 3000, 0x10000 })),
          reordered },
        { "negative offsets in version 0, no edit", file(ctts({ 1, 0, 1, 6000, 2, minus_3000 }), {}), reordered },
        { "an empty edit of 30 ms, then the media from 3000",
          file(ctts({ 1, 3000, 1, 9000, 2, 0 }), elst({ 30, 0xFFFFFFFF, 0x10000, 133, 3000, 0x10000 })), reordered,
          300'000 },
        { "an edit from 3000 without ctts", file({}, elst({ 133, 3000, 0x10000 })), in_order },
        { "ctts covering two samples of four", file(ctts({ 2, 3000 }), {}),
          std::vector<std::int64_t> { 333'333, 666'666, 666'666, 1'000'000 } },
        { "ctts claiming more runs than it holds", file(table("ctts", 3, { 4, 0 }), {}),
          fail("MP4 illisible : trop court") },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto opened = demux::open_bytes(row.file);
        if (!row.shown) {
            EXPECT_EQ(error_of(opened), row.shown.error());
            continue;
        }
        ASSERT_TRUE(opened) << opened.error();
        std::vector<std::int64_t> times, shown;
        for (auto const& ref : opened->video_samples) {
            times.push_back(ref.time - row.delay);
            shown.push_back(ref.shown() - row.delay);
        }
        EXPECT_EQ(times, in_order);
        EXPECT_EQ(shown, *row.shown);
    }
}

class DemuxOpenFile : public testing_support::TempDirTest { };

// Files that open are read from disk by the tests of files ffmpeg and the recorder wrote.
TEST_F(DemuxOpenFile, ReportsSystemErrors)
{
    auto missing = demux::open_file(dir() / "missing.mp4");
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().ends_with(" (os error 2)")) << missing.error();

    // Anything can be put in the clips folder: a folder or a FIFO named like a clip must not block or pass.
    std::filesystem::create_directory(dir() / "folder.mp4");
    EXPECT_TRUE(error_of(demux::open_file(dir() / "folder.mp4")).ends_with(" (os error 21)"));
    ASSERT_EQ(::mkfifo((dir() / "fifo.mp4").c_str(), 0600), 0);
    EXPECT_TRUE(error_of(demux::open_file(dir() / "fifo.mp4")).ends_with(" (os error 22)"));
}
