// Writes the seed corpus of the reader's fuzz target into the folder given as the only argument: small clips
// and recordings as our own writers lay them out, with and without audio, for each codec, a clip whose frames
// are shown out of decode order (ctts and a shifted edit list), and the journals of recordings cut short, in
// the shapes a crash (or a flipped bit) leaves, each followed by the two bytes that say how much of its media
// the file holds (thousandths).

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/mp4.h"
#include "core/mp4_recorder.h"

namespace {

Packet packet(std::int64_t time, bool key, std::size_t size)
{
    std::vector<std::uint8_t> bytes(size, static_cast<std::uint8_t>(time / 100'000));
    return { make_shared_bytes(std::move(bytes)), time, std::uint8_t(key ? Packet::keyframe_flag : 0) };
}

mp4::VideoConfig config(Codec codec)
{
    return { { 1, 0x64, 0, 0x28, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x28, 1, 0, 4, 0x68, 0xEE, 0x3C, 0x80 }, 320, 180,
             codec };
}

bool write_recording(std::filesystem::path const& path, Codec codec, bool with_audio)
{
    auto fd = files::open_write(path, files::Create::Truncate);
    if (!fd)
        return false;
    auto recorder = mp4::Recorder::start(std::move(*fd), codec);
    if (!recorder)
        return false;
    for (int i = 0; i < 40; ++i) {
        if (with_audio && !recorder->push_audio(packet(i * 500'000 + 300'000, true, 6)))
            return false;
        if (!recorder->push_video(packet(i * 500'000, i % 8 == 0, 12)))
            return false;
    }
    mp4::AudioConfig audio { 48'000, 96'000, 2 };
    return bool(recorder->finish(config(codec), with_audio ? &audio : nullptr));
}

// reordered: frames shown out of decode order (I P B B ...), as a cut of a B-frame video has them.
bool write_clip(std::filesystem::path const& dir, std::string const& name, Codec codec, bool with_audio,
                bool reordered = false)
{
    mp4::ClipMedia media;
    media.video = config(codec);
    for (int i = 0; i < 30; ++i) {
        auto p = packet(i * 333'333, i % 10 == 0, 10);
        std::int32_t composition = !reordered || i % 3 == 0 ? 0 : i % 3 == 1 ? 666'666 : -333'333;
        media.video_samples.push_back({ ring::Memory { p.data }, p.time, p.flags, composition });
        if (with_audio) {
            auto a = packet(i * 333'333 + 100'000, true, 5);
            media.audio_samples.push_back({ ring::Memory { a.data }, a.time, a.flags });
        }
    }
    return bool(mp4::write_mp4_file(dir, name, media, mp4::AudioConfig { 44'100, 64'000, 1 }));
}

// A recording with its journal, fed three seconds and left unfinished (the file stays a seed: no index, the
// reader refuses it); gives the journal's bytes.
std::vector<std::uint8_t> unfinished_journal(std::filesystem::path const& dir)
{
    auto fd = files::open_write(dir / "unfinished.mp4", files::Create::Truncate);
    auto journal = files::open_read_write(dir / "unfinished.journal", files::Create::Truncate);
    if (!fd || !journal)
        return {};
    auto recorder = mp4::Recorder::start(std::move(*fd), Codec::H264);
    if (!recorder || !recorder->keep_journal(std::move(*journal), { config(Codec::H264), mp4::AudioConfig {}, "Jeu" }))
        return {};
    for (int i = 0; i < 30; ++i) {
        if (!recorder->push_audio(packet(i * 1'000'000 + 300'000, true, 6))
            || !recorder->push_video(packet(i * 1'000'000, i % 10 == 0, 12)))
            return {};
    }
    std::ifstream in(dir / "unfinished.journal", std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(dir / "unfinished.journal");
    return bytes;
}

bool write_journal_shapes(std::filesystem::path const& dir)
{
    auto journal = unfinished_journal(dir);
    if (journal.size() < 200)
        return false;
    struct Shape {
        char const* name;
        std::size_t keep;   // bytes of the journal kept
        std::size_t extra;  // bytes of garbage after it
        std::uint16_t held; // thousandths of the media on disk
        std::size_t flip { 0 }; // a byte of the journal with one bit flipped (0: none)
    };
    Shape const shapes[] = {
        { "whole", journal.size(), 0, 1000 },
        { "file-cut-mid-sample", journal.size(), 0, 517 },
        { "file-longer", journal.size(), 0, 1400 },
        { "journal-cut-mid-entry", journal.size() - 9, 0, 1000 },
        { "journal-longer-than-file", journal.size(), 0, 300 },
        { "journal-with-garbage", journal.size(), 24, 1000 },
        { "journal-without-file", journal.size(), 0, 0 },
        { "header-only", 60, 0, 1000 },
        { "chunk-entry-flipped", journal.size(), 0, 1000, journal.size() / 5 },
        { "entry-flipped-file-cut", journal.size(), 0, 700, journal.size() / 2 },
    };
    for (auto const& shape : shapes) {
        std::vector<std::uint8_t> bytes(journal.begin(), journal.begin() + std::ptrdiff_t(std::min(shape.keep, journal.size())));
        if (shape.flip != 0)
            bytes[shape.flip] ^= 0x10;
        bytes.insert(bytes.end(), shape.extra, 0xA5);
        bytes.push_back(static_cast<std::uint8_t>(shape.held >> 8));
        bytes.push_back(static_cast<std::uint8_t>(shape.held));
        std::ofstream out(dir / (std::string("journal-") + shape.name), std::ios::binary);
        out.write(reinterpret_cast<char const*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out)
            return false;
    }
    return true;
}

}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    std::filesystem::path dir = argv[1];
    bool ok = write_recording(dir / "recording-h264-aac.mp4", Codec::H264, true)
              && write_recording(dir / "recording-hevc.mp4", Codec::Hevc, false)
              && write_clip(dir, "clip-av1-aac", Codec::Av1, true) && write_clip(dir, "clip-h264", Codec::H264, false)
              && write_clip(dir, "clip-hevc-reordered-aac", Codec::Hevc, true, true)
              && write_journal_shapes(dir);
    if (!ok) {
        std::fprintf(stderr, "could not write the seed files\n");
        return 1;
    }
    return 0;
}
