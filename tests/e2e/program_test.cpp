// The real quillmar binary end to end, under the test desktop: a fullscreen test game in front, keys typed
// with xdotool, and the files it leaves judged by ffprobe, ffmpeg, GStreamer and djpeg.

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <variant>

#include <fmt/format.h>

#include "tests/e2e/program_rig.h"

namespace {

using namespace std::chrono_literals;
using e2e::press;
using e2e::Program;
using e2e::TestGame;

constexpr char const* game_title = "Partie de test";

class ProgramRun : public e2e::DesktopRun {
protected:
    // The game in front, then the program; returns once its capture thread runs.
    std::unique_ptr<Program> start_with_game(TestGame::Mode mode = TestGame::Mode::Pattern)
    {
        game = std::make_unique<TestGame>(game_title, mode);
        if (auto error = game->start()) {
            ADD_FAILURE() << *error;
            return nullptr;
        }
        // Started in the notification area, as at log-in: its window would otherwise take the front from the game.
        auto program = std::make_unique<Program>(home, std::vector<std::string> { "--tray" });
        if (!program->wait_thread("quillmar-video")) {
            ADD_FAILURE() << "capture did not start:\n" << program->output();
            return nullptr;
        }
        capture_started = e2e::monotonic_seconds();
        return program;
    }

    // Waits until `seconds` have passed since the capture thread started.
    void buffer_until(double seconds)
    {
        double const left = capture_started + seconds - e2e::monotonic_seconds();
        if (left > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(left));
    }

    // SIGTERM (or SIGINT, SIGHUP) runs the quit sequence; the process ends by itself with 0.
    void stop(Program& program, int number = SIGTERM)
    {
        program.signal(number);
        auto code = program.wait_exit(40s);
        ASSERT_TRUE(code) << "still running 40 s after " << strsignal(number);
        EXPECT_EQ(*code, 0) << program.output();
    }

    // F10, and the recording's file appears: it exists from its start, under its final name (the sidecar
    // only once it is finished).
    std::optional<std::filesystem::path> start_recording(Program& program)
    {
        press("F10");
        std::optional<std::filesystem::path> file;
        e2e::poll_until([&] {
            std::error_code ec;
            for (auto const& entry : std::filesystem::directory_iterator(home.clips_dir(), ec)) {
                if (entry.path().extension() == ".mp4")
                    file = entry.path();
            }
            return file.has_value();
        }, 15s);
        EXPECT_TRUE(file) << program.output();
        return file;
    }

    // A recording `length` long, cut by kill -9 as a crash or the session's end would: its file, once the
    // program is gone (none on a failure, already reported).
    std::optional<std::filesystem::path> record_then_kill(std::chrono::seconds length)
    {
        home.write_settings();
        auto program = start_with_game();
        if (!program)
            return std::nullopt;
        buffer_until(2.0);
        auto const file = start_recording(*program);
        if (!file)
            return std::nullopt;
        std::this_thread::sleep_for(length);
        program->signal(SIGKILL);
        EXPECT_EQ(program->wait_exit(10s), 128 + SIGKILL);
        return file;
    }

    // Something held up (SIGSTOP) during a recording, before the flash: the program itself, or the sound server.
    struct Stall {
        std::chrono::milliseconds length { 0 };
        pid_t sound_server { 0 };  // 0: the program
    };
    void flash_during_a_recording(Stall stall);

    // In-game toasts off (a failure's toast shows all the same) and the game in front, for the small-disk runs.
    void start_game_without_toasts()
    {
        auto settings = e2e::test_settings(30);
        settings["inGameToast"] = false;
        home.write_settings(settings);
        game = std::make_unique<TestGame>(game_title);
        ASSERT_EQ(game->start(), std::nullopt);
    }

    // The program on a tmpfs of `bytes` of its own over the clips folder's parent; returns once its capture
    // thread runs. Null when this system gives no private mount namespace.
    std::unique_ptr<Program> start_on_small_disk(std::uint64_t bytes, std::string const& options = {})
    {
        auto program = e2e::program_on_small_disk(home, home.clips_dir().parent_path(), bytes, { "--tray" }, options);
        if (program && !program->wait_thread("quillmar-video")) {
            ADD_FAILURE() << "capture did not start:\n" << program->output();
            return nullptr;
        }
        return program;
    }

    // `path` as the program sees it, inside its mount namespace.
    static std::filesystem::path seen_by(Program const& program, std::filesystem::path const& path)
    {
        return std::filesystem::path("/proc") / std::to_string(program.pid()) / "root" / path.relative_path();
    }

    std::unique_ptr<TestGame> game;
    double capture_started { 0 };
};

// Streams of a saved file: H.264 video and AAC audio at 48 kHz stereo; every outside reader takes it.
void expect_valid_clip(std::filesystem::path const& clip)
{
    SCOPED_TRACE(clip.string());
    std::string errors;
    auto const info = media::probe(clip, &errors);
    ASSERT_FALSE(info.is_null()) << errors;
    EXPECT_EQ(errors, "");
    bool video = false;
    bool audio = false;
    for (auto const& stream : info["streams"]) {
        if (stream["codec_type"] == "video") {
            video = true;
            EXPECT_EQ(stream["codec_name"], "h264");
            EXPECT_EQ(stream["width"], 1280);
            EXPECT_EQ(stream["height"], 720);
        } else if (stream["codec_type"] == "audio") {
            audio = true;
            EXPECT_EQ(stream["codec_name"], "aac");
            EXPECT_EQ(stream["sample_rate"], "48000");
            EXPECT_EQ(stream["channels"], 2);
        }
    }
    EXPECT_TRUE(video);
    EXPECT_TRUE(audio);
    EXPECT_EQ(media::decode_errors(clip), "");
    EXPECT_EQ(media::gst_errors(clip), "");
}

double duration_of(std::filesystem::path const& clip)
{
    auto const info = media::probe(clip);
    if (info.is_null())
        return -1;
    return std::stod(info["format"]["duration"].get<std::string>());
}

// Two presses within a second give two clips of their own.
TEST_F(ProgramRun, SaveKeyWritesClipsWithTheirThumbnailAndGameName)
{
    constexpr std::uint32_t secs = 8;
    home.write_settings(e2e::test_settings(secs));
    auto program = start_with_game();
    ASSERT_TRUE(program);
    buffer_until(secs + 3.0);
    // Samples older than a few seconds live in segment files by now (unlinked at once, so only the open
    // files show them): the clip reads them back.
    auto const buffer = home.root / ".cache" / "quill.mar" / "buffer";
    EXPECT_FALSE(testing_support::open_files_under(program->pid(), buffer).empty()) << "nothing was spilled to " << buffer;
    press("F6");
    press("F6");
    auto clips = e2e::wait_clips(home.clips_dir(), 2);
    ASSERT_EQ(clips.size(), 2u) << program->output();
    EXPECT_NE(clips[0].id, clips[1].id);
    for (auto const& clip : clips) {
        expect_valid_clip(clip.mp4);
        // The span starts at the last keyframe at or before its start: at most one keyframe interval (1 s) more.
        double const duration = duration_of(clip.mp4);
        RecordProperty("clip_seconds", std::to_string(duration));
        EXPECT_GE(duration, secs - 0.1);
        EXPECT_LE(duration, secs + 1.0 + 0.5);
        EXPECT_EQ(clip.sidecar["id"], clip.id);
        EXPECT_EQ(clip.sidecar["game"], game_title);
        EXPECT_TRUE(clip.sidecar["title"].get<std::string>().starts_with(std::string(game_title) + " "));
        EXPECT_EQ(clip.sidecar["recording"], false);
        EXPECT_EQ(clip.sidecar["width"], 1280);
        EXPECT_NEAR(clip.sidecar["secs"].get<double>(), duration, 0.1);
    }

    // The thumbnail is the game's picture: its top-left block at a quarter of the width and height. (The
    // second save's request for a picture replaces the first one's, so only the last clip surely has one.)
    auto const jpeg = media::run({ "djpeg", "-pnm", clips[1].thumbnail.string() });
    EXPECT_EQ(jpeg.status, 0) << jpeg.output;
    std::string_view const header = "P6\n400 225\n255\n";
    ASSERT_TRUE(jpeg.output.starts_with(header)) << jpeg.output.substr(0, 20);
    ASSERT_EQ(jpeg.output.size(), header.size() + 400 * 225 * 3);
    auto const* pixel = reinterpret_cast<unsigned char const*>(jpeg.output.data() + header.size() + (56 * 400 + 100) * 3);
    EXPECT_NEAR(pixel[0], e2e::pattern_block.r, 12);
    EXPECT_NEAR(pixel[1], e2e::pattern_block.g, 12);
    EXPECT_NEAR(pixel[2], e2e::pattern_block.b, 12);
    stop(*program);
}

// A save and at once a quit: the quit waits for the clip. Runs before it ended badly: one killed outright
// left its lock and socket files (the lock itself went with the process), so this start is the first
// instance again; one that ended mid-save left parts, which the start removes (not a link, nor what it points
// to). The whole run prints nothing but errors.
TEST_F(ProgramRun, QuitRightAfterASaveKeepsTheClip)
{
    home.write_settings(e2e::test_settings(3));
    {
        Program killed(home);
        ASSERT_TRUE(killed.wait_thread("quillmar-gate"));
        killed.signal(SIGKILL);
        ASSERT_TRUE(killed.wait_exit(5s));
    }
    std::filesystem::create_directories(home.meta_dir());
    auto const victim = home.root / "victim";
    std::ofstream(victim) << "kept";
    for (auto const& part : { home.clips_dir() / "old.mp4.part", home.meta_dir() / "old.json.tmp" })
        std::ofstream(part) << "half";
    std::filesystem::create_symlink(victim, home.meta_dir() / "old.jpg.part");
    auto program = start_with_game();
    ASSERT_TRUE(program);
    buffer_until(4.5);
    press("F6");
    stop(*program);
    auto clips = e2e::list_clips(home.clips_dir());
    ASSERT_EQ(clips.size(), 1u) << program->output();
    expect_valid_clip(clips[0].mp4);
    EXPECT_FALSE(std::filesystem::exists(home.clips_dir() / "old.mp4.part"));
    EXPECT_FALSE(std::filesystem::exists(home.meta_dir() / "old.json.tmp"));
    EXPECT_TRUE(std::filesystem::is_symlink(home.meta_dir() / "old.jpg.part"));
    EXPECT_EQ(read_file(victim), "kept");
    EXPECT_EQ(program->output(), "") << "printed beyond errors";
}

// With nothing in front no capture runs; the record key starts it for a recording of the desktop, and a
// termination signal finishes the recording before the program ends.
TEST_F(ProgramRun, RecordKeyWithNothingInFrontRecordsTheDesktopUntilTheSignalToQuit)
{
    home.write_settings();
    Program program(home);
    ASSERT_TRUE(program.wait_thread("quillmar-gate"));
    EXPECT_FALSE(program.wait_thread("quillmar-video", 2s)) << "capture started with nothing in front";
    ASSERT_TRUE(start_recording(program));
    std::this_thread::sleep_for(2s);
    stop(program, SIGINT);
    auto clips = e2e::list_clips(home.clips_dir());
    ASSERT_EQ(clips.size(), 1u) << program.output();
    EXPECT_EQ(clips[0].sidecar["recording"], true);
    EXPECT_EQ(clips[0].sidecar["game"], "Bureau");
    expect_valid_clip(clips[0].mp4);
}

// The toast looks up the window in front to pick its monitor. A game that has just closed leaves
// _NET_ACTIVE_WINDOW naming a window that no longer exists for a moment (openbox leaves it so until another
// window takes the focus); the lookup must fail quietly instead of ending the program with an X error.
TEST_F(ProgramRun, ToastRightAfterTheGameClosedKeepsTheProgramRunning)
{
    home.write_settings();
    auto program = start_with_game();
    ASSERT_TRUE(program);
    buffer_until(2.0);
    auto const closed = game->window_id();
    ASSERT_NE(closed, 0u);
    game.reset();
    ASSERT_TRUE(e2e::set_active_window(closed));
    ASSERT_TRUE(start_recording(*program));
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(program->running()) << program->output();
    press("F10");
    auto clips = e2e::wait_clips(home.clips_dir(), 1);
    ASSERT_EQ(clips.size(), 1u) << program->output();
    expect_valid_clip(clips[0].mp4);
    stop(*program);
}

TEST_F(ProgramRun, UnusableClipsFolderEndsTheStartWithItsReason)
{
    auto const blocker = home.root / "not-a-folder";
    write_file("home/not-a-folder", "a file");
    home.write_settings({ { "clipsDir", (blocker / "clips").string() } });
    Program program(home);
    ASSERT_TRUE(program.started());
    auto code = program.wait_exit(15s);
    ASSERT_TRUE(code) << "still running";
    EXPECT_EQ(*code, 1);
    auto const output = program.output();
    EXPECT_NE(output.find("Dossier des clips : "), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(blocker / "clips"));
}

// Without HOME the program's folders fall under the temporary folder, which every user shares. One that another
// user made there first (here with settings naming a clips folder of theirs) ends the start with the reason, and
// nothing of it is obeyed.
TEST_F(ProgramRun, SharedFoldersAnotherUserHoldsEndTheStart)
{
    auto const tmp = home.root / "tmp";
    auto const config = tmp / ".config";
    write_file("home/tmp/.config/quill.mar/settings.json", R"({"clipsDir": ")" + (tmp / "theirs").string() + R"("})");
    // Given to another user where the test may; otherwise open to every user, which is refused as well.
    bool const given = ::geteuid() == 0 && ::chown(config.c_str(), 65534, 65534) == 0;
    if (!given)
        std::filesystem::permissions(config, std::filesystem::perms::all);
    Program program({ "env", "-u", "HOME", "-u", "XDG_CONFIG_HOME", "-u", "XDG_DATA_HOME", "-u", "XDG_CACHE_HOME",
                        "TMPDIR=" + tmp.string(), QUILLMAR_BINARY },
        home.root / "shared.log");
    ASSERT_TRUE(program.started());
    auto code = program.wait_exit(15s);
    ASSERT_TRUE(code) << "still running";
    EXPECT_EQ(*code, 1);
    auto const expected = fmt::format("Dossier {} : ", (config / "quill.mar").string())
        + (given ? fmt::format("{} appartient à un autre utilisateur", config.string())
                 : fmt::format("d'autres utilisateurs peuvent écrire dans {}", config.string()));
    EXPECT_EQ(program.output(), expected + "\n");
    EXPECT_FALSE(std::filesystem::exists(tmp / "theirs"));
}

TEST_F(ProgramRun, TerminationSignalsRunTheQuitSequenceAndExitZero)
{
    home.write_settings();
    // During start-up: as soon as the first engine thread exists, before the main loop runs. (During a
    // recording: the recording with nothing in front above.)
    for (int number : { SIGTERM, SIGINT, SIGHUP }) {
        SCOPED_TRACE(strsignal(number));
        Program program(home);
        ASSERT_TRUE(program.wait_thread("quillmar-games", 10s, 0ms));
        stop(program, number);
    }
}

// Picture time minus sound time of the flash in a clip, in milliseconds, or what is missing. ffprobe reads
// both on the file's own time line: each frame's mean brightness, and where the silence before the tone ends
// (the tone's amplitude is 0.3 of full scale; half of it is well above any coding noise of the silence).
std::variant<double, std::string> flash_offset_ms(std::filesystem::path const& clip)
{
    auto const run = media::run({ "ffprobe", "-v", "error", "-of", "json", "-f", "lavfi", "-i",
        fmt::format("movie='{}':s=dv+da[v][a];[v]signalstats[out0];[a]silencedetect=n=0.15:d=0.5[out1]", clip.string()),
        "-show_entries", "frame=media_type,pts_time:frame_tags=lavfi.signalstats.YAVG,lavfi.silence_end" });
    auto const listing = nlohmann::json::parse(run.output, nullptr, false);
    if (run.status != 0 || listing.is_discarded())
        return "ffprobe: " + run.output;
    std::optional<double> first_luma, white_at, tone_at;
    for (auto const& frame : listing["frames"]) {
        auto const tags = frame.value("tags", nlohmann::json::object());
        if (tags.contains("lavfi.signalstats.YAVG")) {
            double const luma = std::stod(tags["lavfi.signalstats.YAVG"].get<std::string>());
            first_luma = first_luma.value_or(luma);
            if (luma > 128 && !white_at)
                white_at = std::stod(frame["pts_time"].get<std::string>());
        }
        if (tags.contains("lavfi.silence_end") && !tone_at)
            tone_at = std::stod(tags["lavfi.silence_end"].get<std::string>());
    }
    if (!first_luma || *first_luma > 40)
        return std::string("the clip does not open on the black screen");
    if (!white_at || !tone_at)
        return std::string(white_at ? "no tone in the clip" : "no white frame in the clip");
    std::fprintf(stderr, "%s: first white frame %.4f s, tone onset %.4f s, picture - sound %.1f ms\n",
                 clip.filename().c_str(), *white_at, *tone_at, (*white_at - *tone_at) * 1000.0);
    return (*white_at - *tone_at) * 1000.0;
}

// F10 starts a recording and F10 ends it; a save during the recording is a clip of its own and the recording
// goes on. The test game turns white and starts a tone at one instant during the recording: the saved clip
// and the recording both keep the two within 50 ms of what the game really did (its threads may miss the
// instant on a busy machine; that offset is the game's, not the recorder's). At 60 fps the first white frame
// comes up to 16.7 ms after the instant, so the picture side is expected a little late. After a stall, the
// sound that reached the program late (kept by the server while the program was stopped, or held up in the
// server) must not push the rest of the sound late.
void ProgramRun::flash_during_a_recording(Stall stall)
{
    auto settings = e2e::test_settings(5);
    settings["fps"] = 60;
    settings["inGameToast"] = false; // nothing over the picture but the flash
    home.write_settings(settings);
    auto program = start_with_game(TestGame::Mode::Flash);
    ASSERT_TRUE(program);
    buffer_until(2.0);
    auto const file = start_recording(*program);
    ASSERT_TRUE(file);
    buffer_until(3.0);
    if (stall.length > 0ms) {
        pid_t const held = stall.sound_server ? stall.sound_server : program->pid();
        ASSERT_EQ(::kill(held, SIGSTOP), 0);
        std::this_thread::sleep_for(stall.length);
        ASSERT_EQ(::kill(held, SIGCONT), 0);
        // Past the backlog the server hands over at once.
        std::this_thread::sleep_for(1s);
    }
    auto const flash = game->flash();
    ASSERT_TRUE(flash);
    // What the clips must show: the game's own picture-to-sound offset, which is 0 unless its threads were late.
    double const shown_from = (flash->white_from - flash->tone_at) * 1000.0;
    double const shown_to = (flash->white_to - flash->tone_at) * 1000.0;
    RecordProperty("game_picture_minus_sound_ms", fmt::format("{:.1f} to {:.1f}", shown_from, shown_to));
    std::this_thread::sleep_for(1500ms);
    press("F6");
    auto saved = e2e::wait_clips(home.clips_dir(), 1);
    ASSERT_EQ(saved.size(), 1u) << program->output();
    EXPECT_EQ(saved[0].sidecar["recording"], false);
    press("F10");
    auto clips = e2e::wait_clips(home.clips_dir(), 2);
    ASSERT_EQ(clips.size(), 2u) << program->output();
    stop(*program);

    auto const recording = std::ranges::find(clips, *file, &e2e::SavedClip::mp4);
    ASSERT_NE(recording, clips.end());
    EXPECT_EQ(recording->sidecar["recording"], true);
    EXPECT_EQ(recording->sidecar["game"], game_title);
    EXPECT_GE(duration_of(recording->mp4), 2.0);
    EXPECT_NEAR(recording->sidecar["secs"].get<double>(), duration_of(recording->mp4), 0.1);
    auto const jpeg = media::run({ "djpeg", "-pnm", recording->thumbnail.string() });
    EXPECT_EQ(jpeg.status, 0) << jpeg.output;
    EXPECT_TRUE(jpeg.output.starts_with("P6\n400 225\n255\n"));
    for (auto const& clip : clips) {
        bool const is_recording = clip.sidecar["recording"] == true;
        SCOPED_TRACE(is_recording ? "recording" : "saved clip");
        expect_valid_clip(clip.mp4);
        auto const offset = flash_offset_ms(clip.mp4);
        ASSERT_TRUE(std::holds_alternative<double>(offset)) << std::get<std::string>(offset);
        RecordProperty(is_recording ? "recording_picture_minus_sound_ms" : "clip_picture_minus_sound_ms",
                       std::to_string(std::get<double>(offset)));
        EXPECT_GE(std::get<double>(offset), shown_from - 50.0);
        EXPECT_LE(std::get<double>(offset), shown_to + 50.0);
    }
}

TEST_F(ProgramRun, RecordingAndASaveDuringItKeepPictureAndSoundWithinFiftyMilliseconds)
{
    flash_during_a_recording({});
}

// Held up for seconds (a debugger, a swap storm), the program drops the sound it could not place in time.
TEST_F(ProgramRun, AfterTheProgramWasStoppedPictureAndSoundStayWithinFiftyMilliseconds)
{
    flash_during_a_recording({ .length = 3s });
}

// A busy machine may hold the sound server up a moment: what it hands over late is still placed in time.
TEST_F(ProgramRun, AfterTheSoundServerWasHeldUpPictureAndSoundStayWithinFiftyMilliseconds)
{
    // The test desktop's own server, which writes its process id beside its socket.
    std::string const server = std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER") : "";
    pid_t pid = 0;
    if (server.starts_with("unix:"))
        std::ifstream(std::filesystem::path(server.substr(5)).parent_path() / "pid") >> pid;
    if (pid <= 0)
        GTEST_SKIP() << "no process id for the sound server " << server;
    flash_during_a_recording({ .length = 400ms, .sound_server = pid });
}

// A recording cut short and completed: listed as a recording, valid for every outside reader, at least
// `min_secs` long as its sidecar says. Gives its length.
double expect_completed_recording(e2e::SavedClip const& clip, double min_secs)
{
    EXPECT_EQ(clip.sidecar["recording"], true);
    expect_valid_clip(clip.mp4);
    double const secs = duration_of(clip.mp4);
    EXPECT_GE(secs, min_secs);
    EXPECT_NEAR(clip.sidecar["secs"].get<double>(), secs, 0.1);
    return secs;
}

// kill -9 six seconds into a recording, as a crash or the session's end would cut it: at the next start the
// recording is completed before anything else and listed like any clip, short of at most its last 2 s.
TEST_F(ProgramRun, RecordingCutByAKillIsCompletedAtTheNextStart)
{
    auto const file = record_then_kill(6s);
    ASSERT_TRUE(file);
    ASSERT_TRUE(e2e::list_clips(home.clips_dir()).empty()) << "the recording had a sidecar before its end";

    Program again(home, { "--tray" });
    auto clips = e2e::wait_clips(home.clips_dir(), 1);
    ASSERT_EQ(clips.size(), 1u) << again.output();
    EXPECT_EQ(clips[0].mp4, *file);
    EXPECT_EQ(clips[0].sidecar["game"], game_title);
    RecordProperty("killed_recording_secs", std::to_string(expect_completed_recording(clips[0], 4.0)));
    EXPECT_FALSE(std::filesystem::exists(home.meta_dir() / (clips[0].id + ".journal")));
    stop(again);
}

// Another copy of the program, with settings of its own (XDG_CONFIG_HOME elsewhere) and so the same default clips
// folder, starts during a recording: its start-up leaves the recording alone, which goes on. Cut by kill -9 after
// that, the recording is completed at the next start, short of at most its last 2 s.
TEST_F(ProgramRun, RecordingGoesOnWhileAnotherCopyStartsAndIsCompletedAfterAKill)
{
    home.write_settings();
    auto program = start_with_game();
    ASSERT_TRUE(program);
    buffer_until(2.0);
    auto const file = start_recording(*program);
    ASSERT_TRUE(file);
    double const started = e2e::monotonic_seconds();
    auto const journal = home.meta_dir() / (file->stem().string() + ".journal");
    auto grown_past = [&](std::uintmax_t size) {
        return e2e::poll_until([&] {
            std::error_code ec;
            auto const now = std::filesystem::file_size(*file, ec);
            return !ec && now > size;
        }, 15s);
    };
    // A chunk past the headers (ftyp and mdat, 48 bytes): there is a recording to complete, journaled. A few more
    // seconds make it one worth keeping.
    ASSERT_TRUE(grown_past(48)) << program->output();
    ASSERT_TRUE(std::filesystem::exists(journal));
    std::this_thread::sleep_for(3s);

    e2e::Home other = home;
    other.xdg_root = home.root / "other";
    other.write_settings();
    Program copy(other, { "--tray" });
    // Its saver starts once its start-up has gone through the clips folder.
    ASSERT_TRUE(copy.wait_thread("quillmar-saver")) << copy.output();
    EXPECT_TRUE(std::filesystem::exists(journal)) << "the other start-up took the journal";
    EXPECT_TRUE(e2e::list_clips(home.clips_dir()).empty()) << "the other start-up completed the recording";
    ASSERT_TRUE(grown_past(std::filesystem::file_size(*file))) << program->output();
    std::this_thread::sleep_for(4s);
    double const recorded = e2e::monotonic_seconds() - started;
    program->signal(SIGKILL);
    EXPECT_EQ(program->wait_exit(10s), 128 + SIGKILL);

    Program again(home, { "--tray" });
    auto clips = e2e::wait_clips(home.clips_dir(), 1);
    ASSERT_EQ(clips.size(), 1u) << again.output();
    EXPECT_EQ(clips[0].mp4, *file);
    RecordProperty("recorded_while_another_copy_started_secs", std::to_string(recorded));
    RecordProperty("kept_after_another_copy_started_secs",
                   std::to_string(expect_completed_recording(clips[0], recorded - 2.0)));
    EXPECT_FALSE(std::filesystem::exists(journal));
    stop(again);
    stop(copy);
}

// One bit flipped 20 % into a killed recording's journal, in the entry of a video chunk: completion at the next
// start loses that chunk and the frames up to the next keyframe, nothing more; the file keeps every byte it
// had and decodes without a word.
TEST_F(ProgramRun, RecordingWithABitFlippedInItsJournalLosesOneChunkAtMost)
{
    auto const file = record_then_kill(10s);
    ASSERT_TRUE(file);

    auto const journal_path = home.meta_dir() / (file->stem().string() + ".journal");
    std::string journal = testing_support::read_file(journal_path);
    // Entries: size u32, body (kind, track, offset u64, count u32, then 13 bytes a sample), check u32.
    auto u32_at = [&](std::size_t at) {
        return (std::uint32_t(std::uint8_t(journal[at])) << 24) | (std::uint32_t(std::uint8_t(journal[at + 1])) << 16)
            | (std::uint32_t(std::uint8_t(journal[at + 2])) << 8) | std::uint8_t(journal[at + 3]);
    };
    std::optional<std::size_t> flip;
    for (std::size_t at = 0; !flip && at + 4 <= journal.size();) {
        std::size_t const size = u32_at(at);
        if (at + 8 + size > journal.size())
            break;
        if (at >= journal.size() / 5 && journal[at + 4] == 2 && journal[at + 5] == 0 && size > 14 + 13 * 3)
            flip = at + 4 + 14 + 13 * 2 + 10; // in the third sample's size
        at += 8 + size;
    }
    ASSERT_TRUE(flip) << "no video chunk entry after 20 % of the journal";
    journal[*flip] = char(journal[*flip] ^ 0x01);
    std::ofstream(journal_path, std::ios::binary | std::ios::trunc) << journal;
    auto const held = std::filesystem::file_size(*file);

    Program again(home, { "--tray" });
    auto clips = e2e::wait_clips(home.clips_dir(), 1);
    ASSERT_EQ(clips.size(), 1u) << again.output();
    EXPECT_GT(std::filesystem::file_size(clips[0].mp4), held) << "the file was cut";
    double const secs = expect_completed_recording(clips[0], 7.0);
    auto const info = media::probe(clips[0].mp4);
    ASSERT_FALSE(info.is_null());
    double kept = 0;
    for (auto const& stream : info["streams"]) {
        if (stream["codec_type"] != "video")
            continue;
        auto const rate = stream["r_frame_rate"].get<std::string>();
        double const fps = std::stod(rate.substr(0, rate.find('/'))) / std::stod(rate.substr(rate.find('/') + 1));
        kept = std::stod(stream["nb_read_packets"].get<std::string>()) / fps;
    }
    RecordProperty("flipped_journal_recording_secs", std::to_string(secs));
    RecordProperty("flipped_journal_kept_video_secs", std::to_string(kept));
    EXPECT_GE(kept, secs - 2.5) << "more than a chunk and a keyframe interval lost";
    EXPECT_FALSE(std::filesystem::exists(journal_path));
    stop(again);
}

// A recording on a small disk that fills: it stops by itself and says so in a toast (the only one shown, with
// in-game toasts off: failures always show), the program goes on, and the file is a readable MP4 of what fit,
// with its sidecar and thumbnail.
TEST_F(ProgramRun, RecordingOnADiskThatFillsKeepsWhatFit)
{
    ASSERT_NO_FATAL_FAILURE(start_game_without_toasts());
    e2e::MapWatch watch;
    auto program = start_on_small_disk(1536 << 10);
    if (!program)
        GTEST_SKIP() << "no private mount namespace on this system";
    // The program's own view of the clips folder, on its tmpfs.
    auto const clips_dir = seen_by(*program, home.clips_dir());
    std::this_thread::sleep_for(2s);
    press("F10");
    auto clips = e2e::wait_clips(clips_dir, 1, 90s);
    ASSERT_EQ(clips.size(), 1u) << program->output() << e2e::output_of("ls -laR '" + clips_dir.string() + "'");
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(program->running()) << program->output();
    EXPECT_EQ(watch.maps("QuillmarToast").size(), 1u);

    RecordProperty("full_disk_recording_secs", std::to_string(expect_completed_recording(clips[0], 1.0)));
    EXPECT_EQ(clips[0].sidecar["bytes"], std::filesystem::file_size(clips[0].mp4));
    EXPECT_TRUE(std::filesystem::exists(clips[0].thumbnail));
    stop(*program);
}

}

namespace {

// Makes the disk holding `folder` keep only `left` bytes free, with a file of its own in `folder`.
std::string leave_free(std::filesystem::path const& folder, std::uint64_t left)
{
    std::ofstream filler(folder / "filler", std::ios::binary);
    std::vector<char> block(4096, 0);
    for (;;) {
        auto space = std::filesystem::space(folder);
        if (space.available <= left)
            return space.available == left ? "" : fmt::format("{} bytes free, not {}", space.available, left);
        filler.write(block.data(), std::streamsize(std::min<std::uintmax_t>(block.size(), space.available - left)));
        filler.flush();
        if (!filler)
            return "the filler could not be written";
    }
}

}

// F10 on a disk with almost no room: too little for the recording's journal (4 KiB), or for the room its index
// needs (300 KiB). The start is refused and the player hears it in a toast (the only one: in-game toasts are
// off, failures always show), the program goes on, and nothing of the recording is left in the clips folder.
TEST_F(ProgramRun, RecordingOnAFullDiskLeavesNothingAndSaysSo)
{
    ASSERT_NO_FATAL_FAILURE(start_game_without_toasts());
    for (std::uint64_t free_kib : { 4, 300 }) {
        SCOPED_TRACE(fmt::format("{} KiB free", free_kib));
        e2e::MapWatch watch;
        auto program = start_on_small_disk(2 << 20);
        if (!program)
            GTEST_SKIP() << "no private mount namespace on this system";
        // The program's own view of its disk, a tmpfs of its mount namespace.
        auto const clips_dir = seen_by(*program, home.clips_dir());
        std::this_thread::sleep_for(2s);
        ASSERT_EQ(leave_free(seen_by(*program, home.clips_dir().parent_path()), free_kib << 10), "");
        press("F10");
        EXPECT_TRUE(e2e::poll_until([&] { return !watch.maps("QuillmarToast").empty(); }, 30s)) << program->output();
        std::this_thread::sleep_for(1s);
        EXPECT_TRUE(program->running()) << program->output();
        EXPECT_EQ(watch.maps("QuillmarToast").size(), 1u);
        std::vector<std::string> left;
        for (auto const& entry : std::filesystem::recursive_directory_iterator(clips_dir))
            left.push_back(entry.path().lexically_relative(clips_dir).string());
        EXPECT_EQ(left, std::vector<std::string> { ".quillmar" })
            << e2e::output_of("ls -laR '" + clips_dir.string() + "'");
        stop(*program);
    }
}

// Every inode of the disk taken while a recording runs: it still finishes whole, and only its record cannot be
// written. It is kept and said so, not reported as interrupted: with in-game toasts off no toast shows (a failure
// toast always would), and the file is a readable MP4, listed with the record the library makes up for it.
TEST_F(ProgramRun, RecordingFinishedWithEveryInodeTakenIsKept)
{
    ASSERT_NO_FATAL_FAILURE(start_game_without_toasts());
    e2e::MapWatch watch;
    auto program = start_on_small_disk(64 << 20, "nr_inodes=64");
    if (!program)
        GTEST_SKIP() << "no private mount namespace on this system";
    auto const clips_dir = seen_by(*program, home.clips_dir());
    std::this_thread::sleep_for(2s);
    press("F10");
    // The recording's file, and its thumbnail, written as soon as a frame comes.
    std::filesystem::path mp4;
    ASSERT_TRUE(e2e::poll_until([&] {
        std::error_code ec;
        for (auto const& entry : std::filesystem::directory_iterator(clips_dir, ec)) {
            if (entry.path().extension() == ".mp4")
                mp4 = entry.path();
        }
        return !mp4.empty() && std::filesystem::exists(clips_dir / ".quillmar" / (mp4.stem().string() + ".jpg"));
    }, 15s)) << program->output();
    std::size_t taken = 0;
    while (std::ofstream(seen_by(*program, home.clips_dir().parent_path()) / fmt::format("inode {}", taken)).is_open())
        ++taken;
    RecordProperty("inodes_taken", std::to_string(taken));
    std::this_thread::sleep_for(3s);
    press("F10");
    EXPECT_TRUE(e2e::poll_until([&] { return !media::probe(mp4).is_null(); }, 30s)) << program->output();
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(program->running()) << program->output();
    EXPECT_TRUE(watch.maps("QuillmarToast").empty());
    EXPECT_FALSE(std::filesystem::exists(clips_dir / ".quillmar" / (mp4.stem().string() + ".json")));
    expect_valid_clip(mp4);
    EXPECT_GE(duration_of(mp4), 3.0);
    stop(*program);
}
