// A recording cut short (a kill, a crash, a power cut, a full disk) is completed from its journal and the file
// on disk: every whole sample kept, nothing invented, and what cannot be completed left as it is. Each sample
// carries bytes of its own, so a sample indexed at the wrong place shows.

#include "core/mp4_journal.h"

#include <csignal>
#include <fstream>
#include <functional>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/demux.h"
#include "core/mp4_recorder.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::int64_t second = 10'000'000;
constexpr std::int64_t frame = second / 10;  // video at 10 fps
constexpr std::int64_t aac = 213'333;        // one AAC frame at 48 kHz
constexpr std::size_t video_size = 1'000;
constexpr std::size_t audio_size = 100;

mp4::VideoConfig video_config()
{
    return { { 1, 0x64, 0, 0x28, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x28, 1, 0, 4, 0x68, 0xEE, 0x3C, 0x80 }, 1280, 720,
             Codec::H264 };
}
constexpr mp4::AudioConfig audio_config { 48'000, 192'000, 2 };

// The bytes of the sample at `time`: its own pattern, so the reader's offsets can be checked.
std::uint8_t fill_of(std::int64_t time, bool audio) { return static_cast<std::uint8_t>(time / 1000 + (audio ? 7 : 0)); }

Packet packet(std::int64_t time, bool key, std::size_t size, bool audio)
{
    return { make_shared_bytes(std::vector<std::uint8_t>(size, fill_of(time, audio))), time,
             std::uint8_t(key ? Packet::keyframe_flag : 0) };
}

// Feeds `seconds` of video (a keyframe every second) and audio as the recording thread does.
void feed(mp4::Recorder& recorder, double seconds)
{
    std::int64_t next_audio = 0;
    for (std::int64_t t = 0; t < std::int64_t(seconds * second); t += frame) {
        for (; next_audio <= t; next_audio += aac)
            ASSERT_TRUE(recorder.push_audio(packet(next_audio, true, audio_size, true)));
        ASSERT_TRUE(recorder.push_video(packet(t, t % second == 0, video_size, false)));
    }
}

std::vector<std::uint8_t> bytes_of(std::filesystem::path const& path)
{
    auto text = testing_support::read_file(path);
    return { text.begin(), text.end() };
}

void write_bytes(std::filesystem::path const& path, std::span<std::uint8_t const> bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<char const*>(bytes.data()),
                                                                   std::streamsize(bytes.size()));
}

// Every sample of the completed file holds its own bytes; gives the number of video and audio samples. The file's
// time line starts at its first video sample: `first_video` and `first_audio` are the recorded times of the first
// samples it keeps.
std::pair<std::size_t, std::size_t> expect_whole_samples(std::filesystem::path const& path,
                                                         std::int64_t first_video = 0, std::int64_t first_audio = 0)
{
    auto opened = demux::open_file(path);
    EXPECT_TRUE(opened) << opened.error();
    if (!opened)
        return {};
    auto file = bytes_of(path);
    for (bool audio : { false, true }) {
        auto const& refs = audio ? opened->audio_samples : opened->video_samples;
        for (auto const& ref : refs) {
            EXPECT_EQ(ref.size, audio ? audio_size : video_size);
            auto expected = fill_of(ref.time - refs.front().time + (audio ? first_audio : first_video), audio);
            bool whole = ref.offset + ref.size <= file.size()
                && std::all_of(file.begin() + std::ptrdiff_t(ref.offset),
                               file.begin() + std::ptrdiff_t(ref.offset + ref.size),
                               [&](std::uint8_t b) { return b == expected; });
            EXPECT_TRUE(whole) << (audio ? "audio" : "video") << " sample at " << ref.time;
            if (!whole)
                return {};
        }
    }
    return { opened->video_samples.size(), opened->audio_samples.size() };
}

// Runs `body` in a child process, so that what it does to the process (a file-size limit, a seccomp filter) ends
// with it. gtest's checks cannot cross the process boundary: `body` reports in text, empty when all is well.
std::string in_child(std::function<std::string()> const& body)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return "no pipe";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string report = body();
        (void)!::write(fds[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            report.append(buffer, std::size_t(n));
        else if (errno != EINTR)
            break;
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        report += fmt::format(" (the child ended with status {})", status);
    return report;
}

#if defined(__x86_64__)
constexpr bool has_filters = true;
#else
constexpr bool has_filters = false;
#endif

// Installs a seccomp filter on this process: `program` decides each system call.
bool install_filter(std::span<sock_filter const> program)
{
    sock_fprog prog { static_cast<unsigned short>(program.size()), const_cast<sock_filter*>(program.data()) };
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == 0;
}

constexpr std::uint32_t arg_low(int n)
{
    return offsetof(seccomp_data, args) + 8 * std::uint32_t(n);
}

// From now on the file `fd` answers like a disk out of room with `error`: every write at its end fails, and so
// does a positioned write reaching past `limit`.
bool fail_writes(int fd, std::uint32_t limit, int error)
{
    sock_filter const program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 13),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pwrite64, 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_writev, 0, 9),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_low(0)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, std::uint32_t(fd), 8, 7),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_low(0)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, std::uint32_t(fd), 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_low(2)), // count
        BPF_STMT(BPF_MISC | BPF_TAX, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg_low(3)), // offset
        BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, limit, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (std::uint32_t(error) & SECCOMP_RET_DATA)),
    };
    return install_filter(program);
}

// The syncs of this process, in order: the file and its size then. Each is trapped and counted as done.
struct Synced {
    int fd;
    std::int64_t size;
};
std::array<Synced, 64> synced;
volatile std::size_t synced_count = 0;

bool trap_syncs()
{
#if defined(__x86_64__)
    struct sigaction action { };
    action.sa_flags = SA_SIGINFO;
    action.sa_sigaction = [](int, siginfo_t*, void* context) {
        auto& registers = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
        int fd = static_cast<int>(registers[REG_RDI]);
        struct stat st { };
        ::fstat(fd, &st);
        if (synced_count < synced.size())
            synced[synced_count] = { fd, st.st_size };
        synced_count = synced_count + 1;
        registers[REG_RAX] = 0;
    };
    if (::sigaction(SIGSYS, &action, nullptr) != 0)
        return false;
#endif
    sock_filter const program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fdatasync, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
    };
    return install_filter(program);
}

class Mp4Journal : public testing_support::TempDirTest {
protected:
    // A recording with its journal (and reserve) in dir(), fed `seconds` of media and left as a kill leaves it.
    mp4::Recorder record(std::string const& name, double seconds, bool reserve = true,
                         std::string const& game = "Jeu")
    {
        auto fd = files::open_read_write(dir() / (name + ".mp4"), files::Create::Exclusive);
        EXPECT_TRUE(fd) << fd.error();
        file_fd = fd->get();
        auto recorder = mp4::Recorder::start(std::move(*fd), Codec::H264);
        EXPECT_TRUE(recorder) << recorder.error();
        auto journal = files::create_temp(dir() / (name + ".journal"));
        journal_fd = journal ? journal->get() : -1;
        EXPECT_TRUE(journal && recorder->keep_journal(std::move(*journal), { video_config(), audio_config, game }));
        if (reserve) {
            auto room = files::create_temp(dir() / (name + ".reserve"));
            EXPECT_TRUE(room && recorder->keep_reserve(std::move(*room)));
        }
        feed(*recorder, seconds);
        return std::move(*recorder);
    }

    // As the start-up does it: the recording opened in its folder without following a link, the journal read
    // from its file a window at a time.
    Result<mp4::Completed> complete(std::string const& name)
    {
        auto folder = files::Dir::open(dir());
        if (!folder)
            return fail(folder.error());
        auto fd = folder->open_regular_read_write(name + ".mp4");
        auto journal_fd = folder->open_regular(name + ".journal");
        if (!fd || !journal_fd)
            return fail(fd ? journal_fd.error() : fd.error());
        auto contents = mp4::read_journal_file(journal_fd->get());
        if (!contents)
            return fail(contents.error());
        if (!*contents)
            return fail(std::string("journal illisible"));
        return mp4::complete_from_journal(fd->get(), std::move(**contents));
    }

    // The descriptors of the last recording made by record().
    int file_fd { -1 };
    int journal_fd { -1 };
};

}

// A recording that finishes normally has the bytes it had without a journal, and completing a killed one from
// its journal gives the very bytes its finish would have written.
TEST_F(Mp4Journal, CompletionWritesWhatTheFinishWouldHave)
{
    auto plain_fd = files::open_read_write(dir() / "plain.mp4", files::Create::Exclusive);
    ASSERT_TRUE(plain_fd);
    auto plain = mp4::Recorder::start(std::move(*plain_fd), Codec::H264);
    ASSERT_TRUE(plain);
    feed(*plain, 5.05);
    ASSERT_TRUE(plain->finish(video_config(), &audio_config));

    auto journaled = record("journaled", 5.05);
    ASSERT_TRUE(journaled.write_chunk());
    std::filesystem::copy_file(dir() / "journaled.mp4", dir() / "killed.mp4");
    std::filesystem::copy_file(dir() / "journaled.journal", dir() / "killed.journal");
    auto finished = journaled.finish(video_config(), &audio_config);
    ASSERT_TRUE(finished) << finished.error();

    auto completed = complete("killed");
    ASSERT_TRUE(completed) << completed.error();
    EXPECT_EQ(completed->header.label, "Jeu");
    EXPECT_EQ(completed->header.video, video_config());
    EXPECT_EQ(completed->summary.bytes, finished->bytes);
    EXPECT_EQ(completed->summary.duration_ticks, finished->duration_ticks);
    auto expected = bytes_of(dir() / "plain.mp4");
    EXPECT_TRUE(bytes_of(dir() / "journaled.mp4") == expected) << "the journal changed the recording's bytes";
    EXPECT_TRUE(bytes_of(dir() / "killed.mp4") == expected) << "completed bytes differ from the finished ones";
    EXPECT_EQ(expect_whole_samples(dir() / "killed.mp4").first, 51u);

    // A finished recording whose journal stayed (a crash before it was removed) completes to the same bytes.
    std::filesystem::copy_file(dir() / "journaled.journal", dir() / "killed.journal",
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(complete("killed"));
    EXPECT_TRUE(bytes_of(dir() / "killed.mp4") == expected);
}

// The peak of the process's resident memory, in bytes.
std::uint64_t peak_memory()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return std::uint64_t(usage.ru_maxrss) * 1024;
}

// The shapes a crash can leave. The recording holds 4.4 s of 10 fps video and audio written in chunks of about
// a second; the rest was still queued. Journal entries: header, then video and audio per chunk. Completion never
// shortens the file: every byte it held is still there, the index after them.
TEST_F(Mp4Journal, CompletesWhatIsWholeOrLeavesTheFileUntouched)
{
    enum class Cut { None, JournalMidEntry, JournalCorrupt, ChunkEntryFlipped, ChunkSizeFieldFlipped, FirstChunkFlipped,
                     VideoTrackFlipped, AudioTrackFlipped, AudioSizeFieldFlipped,
                     JournalGarbageAfter, JournalSparseGigabytes, FileAtChunk, FileMidSample, FileAtSampleEnd,
                     FileBeforeFirstSample, HeaderOnlyBoth, FileNotARecording, JournalNotOne, JournalHeaderOnly,
                     IndexedWithBytesAfter, SalvagedSizeNeverPatched, LinkAtTheName, VideoEntryZeroed,
                     HeaderGameFlipped, HeaderCheckFlipped, HeaderRecordFlipped, HeaderGameTwoBits, HeaderRecordTwoBits,
                     HeaderAndFirstChunkFlipped, HeaderCheckBitAndFirstChunkFlipped,
                     HeaderGameBitAndFirstChunkFlipped, HeaderCheckTwoBitsGameWithSpace,
                     HeaderFlippedFileShort, ShortFirstVideoFlipped };
    enum class Outcome { Kept, Refused, Empty, Untouched };
    struct Row {
        char const* name;
        Cut cut;
        Outcome outcome;
        std::size_t video; // samples the completed (or untouched) file indexes
        std::size_t audio;
    };
    // Each chunk holds the 11 frames from one frame to the frame a second later, then the audio up to that frame:
    // video 11, 22, 33, 44 and audio 47, 99, 151, 202 in all after each chunk. A keyframe every second: frames
    // 0, 10, 20, 30, 40.
    Row const rows[] = {
        { "killed after its chunks", Cut::None, Outcome::Kept, 44, 202 },
        { "journal cut in the middle of an entry", Cut::JournalMidEntry, Outcome::Kept, 33, 151 },
        // The last video chunk's entry is damaged; the audio entry after it still follows on.
        { "journal entry overwritten", Cut::JournalCorrupt, Outcome::Kept, 33, 202 },
        // The second video chunk (frames 11 to 21) is lost, and the frames up to the next keyframe (30) with it.
        { "bit flipped in a chunk entry followed by whole entries", Cut::ChunkEntryFlipped, Outcome::Kept, 25, 202 },
        { "bit flipped in a chunk entry's size", Cut::ChunkSizeFieldFlipped, Outcome::Kept, 25, 202 },
        // A flipped track byte must not pass a lost video chunk for audio, nor a lost audio chunk for video.
        { "bit flipped in a video chunk's track", Cut::VideoTrackFlipped, Outcome::Kept, 25, 202 },
        { "bit flipped in an audio chunk's track", Cut::AudioTrackFlipped, Outcome::Kept, 44, 155 },
        { "bit flipped in an audio chunk entry's size", Cut::AudioSizeFieldFlipped, Outcome::Kept, 44, 155 },
        // Nothing tells its track: it counts as video, and the frames after it wait for the next keyframe.
        { "video chunk entry zeroed", Cut::VideoEntryZeroed, Outcome::Kept, 25, 202 },
        // The video then starts at frame 20 (2 s), and so does the audio: the 94 frames before 2 s go.
        { "bit flipped in the first chunk's entry", Cut::FirstChunkFlipped, Outcome::Kept, 24, 108 },
        { "journal with bytes after its entries", Cut::JournalGarbageAfter, Outcome::Kept, 44, 202 },
        { "journal of 3 GiB, sparse after its entries", Cut::JournalSparseGigabytes, Outcome::Kept, 44, 202 },
        { "journal longer than the file", Cut::FileAtChunk, Outcome::Kept, 22, 99 },
        { "file cut in the middle of a sample", Cut::FileMidSample, Outcome::Kept, 27, 99 },
        { "file cut exactly at a sample's end", Cut::FileAtSampleEnd, Outcome::Kept, 27, 99 },
        { "file cut before its first sample", Cut::FileBeforeFirstSample, Outcome::Empty, 0, 0 },
        { "file and journal of their headers only", Cut::HeaderOnlyBoth, Outcome::Empty, 0, 0 },
        { "file that is no recording", Cut::FileNotARecording, Outcome::Refused, 0, 0 },
        { "journal that is no journal", Cut::JournalNotOne, Outcome::Refused, 0, 0 },
        { "journal without a chunk", Cut::JournalHeaderOnly, Outcome::Refused, 0, 0 },
        { "finished, with bytes after its index", Cut::IndexedWithBytesAfter, Outcome::Untouched, 44, 202 },
        { "salvaged, its mdat size never patched", Cut::SalvagedSizeNeverPatched, Outcome::Kept, 33, 151 },
        { "link at the recording's name", Cut::LinkAtTheName, Outcome::Refused, 0, 0 },
        // One flipped bit in a header is put back. Failing its check otherwise, it still serves when it reads as
        // one and whole entries follow on from it; a game name no longer valid UTF-8 is left out.
        { "bit flipped in the header's game name", Cut::HeaderGameFlipped, Outcome::Kept, 44, 202 },
        { "bit flipped in the header's check", Cut::HeaderCheckFlipped, Outcome::Kept, 44, 202 },
        { "bit flipped in the header's decoder configuration", Cut::HeaderRecordFlipped, Outcome::Kept, 44, 202 },
        { "two bits flipped in the header's game name", Cut::HeaderGameTwoBits, Outcome::Kept, 44, 202 },
        { "two bits flipped in the header's decoder configuration", Cut::HeaderRecordTwoBits, Outcome::Refused, 0,
          0 },
        { "bits flipped in the header's check and in the first chunk's entry", Cut::HeaderAndFirstChunkFlipped,
          Outcome::Refused, 0, 0 },
        // A mended header is the recorder's own: a damaged first entry then costs what it costs after a whole one.
        { "one bit flipped in the header's check, one in the first chunk's entry",
          Cut::HeaderCheckBitAndFirstChunkFlipped, Outcome::Kept, 24, 108 },
        { "one bit flipped in the header's game name, one in the first chunk's entry",
          Cut::HeaderGameBitAndFirstChunkFlipped, Outcome::Kept, 24, 108 },
        // A space is part of many a game's name, not a control character.
        { "two bits flipped in the header's check, a space in the game's name", Cut::HeaderCheckTwoBitsGameWithSpace,
          Outcome::Kept, 44, 202 },
        { "bit flipped in the header's check, chunks past the file's end", Cut::HeaderFlippedFileShort,
          Outcome::Refused, 0, 0 },
        // Killed 1.5 s in: its one keyframe is in the file, though its entry is damaged. Not proven empty.
        { "short, its first video entry damaged", Cut::ShortFirstVideoFlipped, Outcome::Refused, 0, 0 },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        std::string name = fmt::format("rec-{}", int(row.cut));
        std::string const game = row.cut == Cut::HeaderCheckTwoBitsGameWithSpace ? "Counter Strike 2" : "Jeu";
        {
            auto recorder = record(name, 4.95, true, game);
            ASSERT_EQ(recorder.video_table().chunks.size(), 4u);
        }
        auto mp4 = dir() / (name + ".mp4");
        auto journal_path = dir() / (name + ".journal");
        auto file = bytes_of(mp4);
        auto journal = bytes_of(journal_path);
        // Entry boundaries, from their sizes.
        std::vector<std::size_t> ends;
        for (std::size_t at = 0; at + 4 <= journal.size();) {
            std::size_t size = (std::size_t(journal[at]) << 24) | (journal[at + 1] << 16) | (journal[at + 2] << 8)
                | journal[at + 3];
            at += 4 + size + 4;
            ends.push_back(at);
        }
        ASSERT_EQ(ends.size(), 9u);
        std::uint64_t const media = mp4::recording_media_start;
        // An index after the media, from a first completion of the file cut to `bytes`.
        auto indexed = [&](std::size_t bytes) {
            write_bytes(mp4, std::span(file).first(bytes));
            write_bytes(journal_path, journal);
            EXPECT_TRUE(complete(name));
            file = bytes_of(mp4);
        };
        switch (row.cut) {
        case Cut::None: break;
        case Cut::JournalMidEntry: journal.resize(ends[6] + 20); break;
        case Cut::JournalCorrupt: journal[ends[6] + 30] ^= 0x40; break;
        case Cut::ChunkEntryFlipped: journal[ends[2] + 40] ^= 0x08; break;
        case Cut::ChunkSizeFieldFlipped: journal[ends[2] + 1] ^= 0x01; break;
        case Cut::FirstChunkFlipped: journal[ends[0] + 40] ^= 0x08; break;
        case Cut::VideoTrackFlipped: journal[ends[2] + 5] ^= 0x01; break;
        case Cut::AudioTrackFlipped: journal[ends[1] + 5] ^= 0x01; break;
        case Cut::AudioSizeFieldFlipped: journal[ends[1] + 1] ^= 0x01; break;
        case Cut::JournalGarbageAfter: journal.insert(journal.end(), 50, 0xAB); break;
        case Cut::JournalSparseGigabytes: break;
        case Cut::FileAtChunk: file.resize(media + 22 * video_size + 99 * audio_size); break;
        case Cut::FileMidSample: file.resize(media + 27 * video_size + 99 * audio_size + video_size / 2); break;
        case Cut::FileAtSampleEnd: file.resize(media + 27 * video_size + 99 * audio_size); break;
        case Cut::FileBeforeFirstSample: file.resize(media + video_size - 1); break;
        case Cut::HeaderOnlyBoth: file.resize(media); journal.resize(ends[0]); break;
        case Cut::FileNotARecording: file[4] = 'x'; break;
        case Cut::JournalNotOne: journal.erase(journal.begin(), journal.begin() + std::ptrdiff_t(ends[0])); break;
        case Cut::JournalHeaderOnly: journal.resize(ends[0]); break;
        case Cut::IndexedWithBytesAfter:
            indexed(file.size());
            // A tag editor's padding after the index.
            for (int byte : { 0, 0, 0x03, 0xF0, int('f'), int('r'), int('e'), int('e') })
                file.push_back(std::uint8_t(byte));
            file.resize(file.size() + 1000, 0);
            break;
        case Cut::SalvagedSizeNeverPatched:
            // Salvage cut the last chunk to make room and wrote the index over it; the size never reached the disk.
            indexed(media + 33 * video_size + 151 * audio_size);
            std::fill(file.begin() + 40, file.begin() + 48, 0);
            break;
        case Cut::LinkAtTheName: break;
        case Cut::VideoEntryZeroed:
            std::fill(journal.begin() + std::ptrdiff_t(ends[2]), journal.begin() + std::ptrdiff_t(ends[3]), 0);
            break;
        // The header's body ends with its game name, "Jeu"; its check follows.
        case Cut::HeaderGameFlipped: journal[ends[0] - 4 - 3] ^= 0x80; break;
        case Cut::HeaderGameTwoBits: journal[ends[0] - 4 - 3] ^= 0xC0; break;
        case Cut::HeaderCheckFlipped: journal[ends[0] - 1] ^= 0x01; break;
        // The decoder configuration's count of parameter sets (size, kind, codec, width, height, length first).
        case Cut::HeaderRecordFlipped: journal[4 + 1 + 1 + 4 + 4 + 4 + 5] ^= 0x02; break;
        case Cut::HeaderRecordTwoBits: journal[4 + 1 + 1 + 4 + 4 + 4 + 5] ^= 0x03; break;
        // Two bits in the check: no single flip explains it.
        case Cut::HeaderAndFirstChunkFlipped:
            journal[ends[0] - 1] ^= 0x03;
            journal[ends[0] + 40] ^= 0x08;
            break;
        case Cut::HeaderCheckBitAndFirstChunkFlipped:
            journal[ends[0] - 1] ^= 0x01;
            journal[ends[0] + 40] ^= 0x08;
            break;
        case Cut::HeaderGameBitAndFirstChunkFlipped:
            journal[ends[0] - 4 - 3] ^= 0x80;
            journal[ends[0] + 40] ^= 0x08;
            break;
        case Cut::HeaderCheckTwoBitsGameWithSpace: journal[ends[0] - 1] ^= 0x03; break;
        case Cut::HeaderFlippedFileShort:
            journal[ends[0] - 1] ^= 0x03;
            file.resize(media + 22 * video_size + 99 * audio_size);
            break;
        case Cut::ShortFirstVideoFlipped:
            journal.resize(ends[2]);
            journal[ends[0] + 40] ^= 0x08;
            file.resize(media + 11 * video_size + 47 * audio_size);
            break;
        }
        write_bytes(mp4, file);
        write_bytes(journal_path, journal);
        if (row.cut == Cut::JournalSparseGigabytes)
            std::filesystem::resize_file(journal_path, std::uint64_t(3) << 30);
        auto outside = dir() / "outside" / (name + ".mp4");
        if (row.cut == Cut::LinkAtTheName) {
            std::filesystem::create_directories(outside.parent_path());
            std::filesystem::rename(mp4, outside);
            std::filesystem::create_symlink(outside, mp4);
        }

        auto memory_before = peak_memory();
        auto completed = complete(name);
        // The journal is read a window at a time, never whole.
        EXPECT_LT(peak_memory() - memory_before, std::uint64_t(64) << 20);
        if (row.outcome == Outcome::Refused) {
            ASSERT_FALSE(completed);
            if (row.cut == Cut::LinkAtTheName) {
                EXPECT_TRUE(std::filesystem::is_symlink(mp4));
                EXPECT_TRUE(bytes_of(outside) == file) << "the file a link leads to is left as it was";
            } else {
                EXPECT_TRUE(mp4::is_refusal(completed.error())) << completed.error();
                EXPECT_TRUE(bytes_of(mp4) == file) << "a file that cannot be completed is left as it was";
            }
            continue;
        }
        ASSERT_TRUE(completed) << completed.error();
        EXPECT_EQ(completed->header.label, row.cut == Cut::HeaderGameTwoBits ? "" : game);
        if (row.outcome == Outcome::Empty) {
            EXPECT_EQ(completed->completion, mp4::Completion::Empty);
            EXPECT_TRUE(bytes_of(mp4) == file) << "an empty recording is left for the caller to remove";
            continue;
        }
        auto after = bytes_of(mp4);
        EXPECT_EQ(completed->summary.bytes, after.size());
        if (row.outcome == Outcome::Untouched) {
            EXPECT_EQ(completed->completion, mp4::Completion::AlreadyIndexed);
            EXPECT_TRUE(after == file) << "a file that holds its index keeps every byte";
        } else if (row.cut == Cut::SalvagedSizeNeverPatched) {
            EXPECT_EQ(completed->completion, mp4::Completion::SizePatched);
            EXPECT_EQ(after.size(), file.size()) << "the index found is used, no second one written";
        } else {
            EXPECT_EQ(completed->completion, mp4::Completion::Indexed);
            // Every byte is still where it was, the index after them; only the mdat size changed.
            ASSERT_GT(after.size(), file.size()) << "the file was shortened";
            auto size_field = std::ptrdiff_t(mp4::recording_mdat_position + 8);
            EXPECT_TRUE(std::equal(file.begin(), file.begin() + size_field, after.begin())
                        && std::equal(file.begin() + size_field + 8, file.end(), after.begin() + size_field + 8))
                << "bytes the file held were changed";
        }
        bool const from_two_seconds = row.cut == Cut::FirstChunkFlipped
            || row.cut == Cut::HeaderCheckBitAndFirstChunkFlipped || row.cut == Cut::HeaderGameBitAndFirstChunkFlipped;
        bool const first_audio_lost = row.cut == Cut::AudioTrackFlipped || row.cut == Cut::AudioSizeFieldFlipped;
        auto [video, audio] = expect_whole_samples(mp4, from_two_seconds ? 2 * second : 0,
                                                   from_two_seconds ? 94 * aac : first_audio_lost ? 47 * aac : 0);
        EXPECT_EQ(video, row.video);
        EXPECT_EQ(audio, row.audio);
    }
}

// A write that fails part-way stops the recording, and salvage makes a readable file of what is on disk: whole
// samples only, and room made for the index when there is none. Every way a system says it is out of room makes
// room that way: the file-size limit (EFBIG), a full disk (ENOSPC), the user's quota (EDQUOT).
TEST_F(Mp4Journal, WriteErrorSalvagesTheWholeSamplesWritten)
{
    struct Row {
        char const* name;
        int error;
        std::uint64_t limit; // 0: the file's size when the disk fills
        std::size_t video; // whole video samples kept at least
    };
    Row const rows[] = {
        { "file-size limit", EFBIG, 60'000, 45 },
        { "full disk", ENOSPC, 0, 15 },
        { "over quota", EDQUOT, 0, 15 },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.error != EFBIG && !has_filters)
            continue;
        std::string name = fmt::format("full-{}", row.error);
        auto recorder = record(name, 2.5, false);
        auto limit = row.limit ? row.limit : std::filesystem::file_size(dir() / (name + ".mp4"));
        auto report = in_child([&]() -> std::string {
            if (row.error == EFBIG) {
                std::signal(SIGXFSZ, SIG_IGN);
                rlimit small { limit, limit };
                if (::setrlimit(RLIMIT_FSIZE, &small) != 0)
                    return "no file-size limit";
            } else if (!fail_writes(file_fd, std::uint32_t(limit), row.error)) {
                return "no seccomp filter";
            }
            Result<void> pushed;
            for (std::int64_t t = 25 * frame; t < 100 * frame && pushed; t += frame)
                pushed = recorder.push_video(packet(t, t % second == 0, video_size, false));
            if (pushed)
                return "every write went through";
            auto salvaged = recorder.salvage(video_config(), &audio_config);
            if (!salvaged)
                return "salvage failed: " + salvaged.error();
            if (salvaged->bytes != std::filesystem::file_size(dir() / (name + ".mp4")))
                return "the summary's size is not the file's";
            return "";
        });
        EXPECT_EQ(report, "");
        EXPECT_LE(std::filesystem::file_size(dir() / (name + ".mp4")), limit);
        EXPECT_GE(expect_whole_samples(dir() / (name + ".mp4")).first, row.video);
    }
}

// The journal never tells of media the file may lack after a power cut: each time it is synced, the file was
// synced just before, holding every byte the journal then describes.
TEST_F(Mp4Journal, DataIsSyncedBeforeTheJournalThatDescribesIt)
{
    if (!has_filters)
        GTEST_SKIP() << "no seccomp filter for this processor";
    auto recorder = record("synced", 0.05);
    auto report = in_child([&]() -> std::string {
        if (!trap_syncs())
            return "no seccomp filter";
        feed(recorder, 7.05);
        std::string found;
        std::optional<Synced> data;
        for (std::size_t i = 0, count = synced_count; i < std::min(count, synced.size()); ++i) {
            auto sync = synced[i];
            if (sync.fd == file_fd) {
                data = sync;
                continue;
            }
            if (sync.fd != journal_fd)
                return fmt::format("sync {} of another file", i);
            if (!data)
                return fmt::format("sync {}: the journal before the file", i);
            auto bytes = bytes_of(dir() / "synced.journal");
            bytes.resize(std::min<std::size_t>(bytes.size(), std::size_t(sync.size)));
            auto contents = mp4::read_journal(bytes);
            std::uint64_t end = mp4::recording_media_start;
            for (auto const* table : { &contents->video, &contents->audio }) {
                for (auto bytes : table->sizes)
                    end += bytes;
            }
            if (end > std::uint64_t(data->size))
                return fmt::format("sync {}: the journal tells of {} bytes, the file had {}", i, end, data->size);
            data.reset();
            found += "J";
        }
        return found == "JJJ" ? "" : fmt::format("journal syncs: {}", found);
    });
    EXPECT_EQ(report, "");
}

// An hour of 60 fps video and audio on a disk that then fills: the room kept in reserve takes the index, so the
// whole hour is kept. Small samples, so that the index is large next to the media.
TEST_F(Mp4Journal, AnHourStillCompletesOnAFullDisk)
{
    auto disk = dir() / "disk";
    std::filesystem::create_directories(disk);
    auto report = testing_support::on_small_disk(disk, 48 << 20, [&]() -> std::string {
        auto fd = files::open_read_write(disk / "hour.mp4", files::Create::Exclusive);
        auto journal = files::create_temp(disk / "hour.journal");
        auto reserve = files::create_temp(disk / "hour.reserve");
        if (!fd || !journal || !reserve)
            return "cannot create the files";
        auto recorder = mp4::Recorder::start(std::move(*fd), Codec::H264);
        if (!recorder || !recorder->keep_journal(std::move(*journal), { video_config(), audio_config, "" })
            || !recorder->keep_reserve(std::move(*reserve)))
            return "cannot start";
        auto video_bytes = make_shared_bytes(std::vector<std::uint8_t>(60, 1));
        auto audio_bytes = make_shared_bytes(std::vector<std::uint8_t>(8, 2));
        std::int64_t const hour = 3600 * second, video_step = second / 60;
        std::int64_t next_audio = 0;
        Result<void> pushed;
        std::size_t written = 0; // video samples on disk when it filled
        for (std::int64_t t = 0; pushed; t += video_step) {
            for (; next_audio <= t && pushed; next_audio += aac)
                pushed = recorder->push_audio({ audio_bytes, next_audio, Packet::keyframe_flag });
            if (pushed)
                pushed = recorder->push_video({ video_bytes, t, std::uint8_t(t % second == 0 ? 1 : 0) });
            if (t >= hour + 2 * second && written == 0) {
                // Another program takes every byte left.
                written = recorder->video_table().sizes.size();
                auto filler = files::open_write(disk / "filler", files::Create::Exclusive);
                std::vector<std::uint8_t> block(1 << 16, 0);
                while (filler && files::write_all(filler->get(), block)) { }
            }
        }
        auto salvaged = recorder->salvage(video_config(), &audio_config);
        if (!salvaged)
            return "salvage failed: " + salvaged.error();
        auto opened = demux::open_file(disk / "hour.mp4");
        if (!opened)
            return opened.error();
        auto kept = opened->video_samples.size();
        if (written < 3600u * 60u || kept != written)
            return fmt::format("{} video samples kept of the {} written", kept, written);
        return "";
    });
    if (!report)
        GTEST_SKIP() << "no private tmpfs on this system";
    EXPECT_EQ(*report, "");
}
