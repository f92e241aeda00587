// The saver and the recording on real H.264 and AAC samples: every clip they write is judged by ffprobe,
// ffmpeg's decoders and GStreamer's qtdemux, and the player's texts are checked for each outcome. The
// recording runs through toggle_recording on an Engine whose video "pipeline" is a fake body that stores a
// stream description and pushes the samples, as the encoder and audio threads do; live samples follow
// through shared::push_video / push_audio. Below them, the parts of a clip and the thumbnail's refusal.

#include "engine/saver.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <new>

#include <gtest/gtest.h>

#include "base/file_io.h"
#include "core/mp4_recorder.h"
#include "engine/recording.h"
#include "engine/thumbnail.h"
#include "engine/toast.h"
#include "engine/trim.h"
#include "tests/engine/engine_rig.h"

namespace {

using engine_rig::events_of;
using engine_rig::h264;
using engine_rig::second;
using Started = engine::PageEvent::RecordingStarted;
using Finished = engine::PageEvent::RecordingFinished;
using Error = engine::PageEvent::Error;

constexpr std::int64_t t0 = 5'000 * second; // anywhere on the engine clock

// Runs the saver over the requests, one after the other, as the "quillmar-saver" thread would.
template <class... Requests> void run_saver(std::shared_ptr<engine::Engine> const& engine, Requests... requests)
{
    auto [tx, rx] = channel::make<engine::SaveRequest>();
    (tx.send(std::move(requests)), ...);
    tx.reset();
    engine::saver_loop(std::move(rx), engine);
}

// The current ring holds the media from `from` on, with a stream description.
void fill_current(shared::Shared& shared, std::int64_t from)
{
    shared::store_video_config(shared, h264().video);
    shared.rings.with([&](shared::Rings& rings) {
        for (auto [ring, packets] : { std::pair { &rings.video, &h264().video_packets }, { &rings.audio, &h264().audio_packets } }) {
            for (auto const& packet : *packets)
                ring->push(Packet { packet.data, packet.time + from, packet.flags });
        }
    });
}

// The media again, `shift` later, as samples arriving live.
void push_live(shared::Shared& shared, std::int64_t shift)
{
    auto const& media = h264();
    std::size_t a = 0;
    for (auto packet : media.video_packets) {
        packet.time += shift;
        for (; a < media.audio_packets.size() && media.audio_packets[a].time + shift <= packet.time; ++a)
            shared::push_audio(shared, *media.audio_packets[a].data, media.audio_packets[a].time + shift);
        shared::push_video(shared, std::move(packet));
    }
}

// The encoder and audio threads of one pipeline start: the description, then the media (keyframes kept or
// not), then word on `filled`.
engine::PipelineBodies fake_pipeline(bool keyframes, channel::Sender<bool> filled)
{
    engine::PipelineBodies bodies;
    bodies.video = [keyframes, filled](engine::VideoThreadParams params) {
        auto& shared = *params.shared;
        shared.audio_running.store(1);
        shared::store_video_config(shared, h264().video);
        if (keyframes) {
            push_live(shared, 0);
        } else {
            for (auto packet : h264().video_packets) {
                packet.flags = 0;
                shared::push_video(shared, std::move(packet));
            }
        }
        filled.send(true);
        while (!params.stop->load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    return bodies;
}

// Among `count` events, one error that starts and ends so; its text.
std::string expect_error(
    std::vector<engine::PageEvent> const& events, std::size_t count, std::string_view prefix, std::string_view suffix)
{
    EXPECT_EQ(events.size(), count);
    auto errors = events_of<Error>(events);
    if (errors.size() != 1u) {
        ADD_FAILURE() << errors.size() << " errors";
        return {};
    }
    EXPECT_TRUE(errors[0].text.starts_with(prefix)) << errors[0].text;
    EXPECT_TRUE(errors[0].text.ends_with(suffix)) << errors[0].text;
    return errors[0].text;
}

std::size_t mp4_count(std::filesystem::path const& folder)
{
    std::size_t count = 0;
    for (auto const& entry : std::filesystem::directory_iterator(folder))
        count += entry.path().extension() == ".mp4";
    return count;
}

class SaverRealMedia : public engine_rig::MediaFolder {
protected:
    void SetUp() override
    {
        MediaFolder::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(h264().video.width);
    }

    void TearDown() override
    {
        if (engine) {
            auto lock = engine->pipeline_lock.lock();
            engine::stop_video_pipeline(*engine);
        }
        MediaFolder::TearDown();
    }

    // The pipeline runs and its rings are filled before the test goes on: a recording started while the
    // body still pushed would begin at an older keyframe and take the rest of the media live.
    void start_engine(bool keyframes, std::optional<std::filesystem::path> folder = std::nullopt)
    {
        auto [filled_tx, filled_rx] = channel::make<bool>();
        engine = rig.make(folder.value_or(dir()), fake_pipeline(keyframes, std::move(filled_tx)));
        engine::ensure_pipeline(*engine, engine->settings_copy());
        ASSERT_TRUE(filled_rx.recv_for(std::chrono::seconds(60)));
    }

    // What the capture loop does at its next frame.
    void deliver_thumbnail()
    {
        auto thumbnail = shared::take_thumbnail_request(*rig.shared);
        ASSERT_TRUE(thumbnail);
        thumbnail->send(shared::Thumbnail(shared::thumbnail_bytes, 0x40));
    }

    // The finished recording: its events, its sidecar written before the slot emptied, a valid file (the
    // outside readers find the moov only when the mdat size leads to it).
    library::Clip expect_finished(double min_secs, double max_secs)
    {
        auto slot = engine->recording.copy();
        // Polled without pause: the sidecar must already exist the moment the slot empties, since quitting
        // ends the process right after.
        engine::wait_recording_finished(*engine, 1'000'000'000, std::chrono::milliseconds(0));
        EXPECT_FALSE(engine->recording.copy().has_value());
        if (slot) {
            EXPECT_TRUE(std::filesystem::exists(library::meta_path(dir(), slot->clip_id)));
            // A normal finish leaves neither its journal nor its reserve.
            EXPECT_FALSE(std::filesystem::exists(library::journal_path(dir(), slot->clip_id)));
            EXPECT_FALSE(std::filesystem::exists(library::reserve_path(dir(), slot->clip_id)));
        }
        auto events = rig.wait_events(2);
        EXPECT_EQ(events.size(), 2u);
        EXPECT_TRUE(!events.empty() && std::holds_alternative<Started>(events[0].value));
        auto finished = events_of<Finished>(events);
        if (finished.size() != 1u) {
            auto errors = events_of<Error>(events);
            ADD_FAILURE() << (errors.empty() ? "no event" : errors[0].text);
            return {};
        }
        auto clip = finished[0].clip;
        EXPECT_TRUE(clip.recording);
        auto sidecar = library::parse_sidecar(read_file(library::meta_path(dir(), clip.id)));
        EXPECT_TRUE(sidecar && sidecar->recording);
        auto path = dir() / (clip.id + ".mp4");
        std::string errors;
        auto info = media::probe(path, &errors);
        EXPECT_EQ(errors, "");
        if (info.is_null() || info["streams"].size() != 2u) {
            ADD_FAILURE() << "not one video and one audio stream: " << info.dump();
            return clip;
        }
        EXPECT_EQ(info["streams"][0]["codec_type"], "video");
        EXPECT_EQ(info["streams"][1]["codec_type"], "audio");
        double secs = std::stod(info["format"]["duration"].get<std::string>());
        EXPECT_GE(secs, min_secs);
        EXPECT_LE(secs, max_secs);
        engine_rig::expect_decodes(path);
        EXPECT_EQ(std::filesystem::file_size(path), clip.bytes);
        return clip;
    }

    engine_rig::Rig rig;
    std::shared_ptr<engine::Engine> engine;
};

}

TEST_F(SaverRealMedia, SaveFailuresReachToastAndPage)
{
    enum class Setup { Nothing, PipelineWithoutSamples, FolderIsAFile, SidecarFolderIsAFile };
    struct Row {
        Setup setup;
        std::string_view prefix;
        std::string_view suffix;
        bool mp4_stays;
    };
    Row const rows[] = {
        { Setup::Nothing, "Aucun jeu à l'écran", "", false },
        { Setup::PipelineWithoutSamples, "Le tampon est encore vide", "", false },
        { Setup::FolderIsAFile, "Écriture impossible : ", " (os error 20)", false },
        { Setup::SidecarFolderIsAFile, "", " (os error 20)", true },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.prefix);
        engine_rig::Rig local;
        auto folder = dir() / fmt::format("case{}", int(row.setup));
        std::filesystem::create_directories(folder);
        auto clips = folder;
        if (row.setup == Setup::FolderIsAFile) {
            clips = folder / "file";
            write_file(std::filesystem::relative(clips, dir()).string(), "x");
        }
        if (row.setup == Setup::SidecarFolderIsAFile)
            write_file(std::filesystem::relative(library::meta_path(folder, "x").parent_path(), dir()).string(), "x");
        auto failing = local.make(clips);
        failing->settings.with([](settings::Settings& s) { s.in_game_toast = false; });
        if (row.setup == Setup::PipelineWithoutSamples)
            failing->video_pipeline.set(engine::PipelineHandle(std::make_shared<std::atomic<bool>>(false), {}));
        if (row.setup == Setup::FolderIsAFile || row.setup == Setup::SidecarFolderIsAFile)
            fill_current(*local.shared, t0);
        // Its thumbnail channel is already closed: no frame will come.
        run_saver(failing, engine::SaveRequest { channel::make<shared::Thumbnail>().second, "Valorant", t0 + 3 * second, 2 });

        auto text = expect_error(local.events->copy(), 1, row.prefix, row.suffix);
        // Failures show even with in-game toasts off.
        auto toast = toast::current_message();
        EXPECT_EQ(toast.title, "Clip non gardé");
        EXPECT_EQ(toast.subtext, text);
        EXPECT_EQ(toast.kind, toast::Kind::Failure);
        EXPECT_EQ(mp4_count(folder), row.mp4_stays ? 1u : 0u);
    }
}

namespace {

// Every entry under `folder`, links unfollowed: its type and mode, and its bytes' length and hash or the link's
// target.
std::map<std::string, std::string> snapshot(std::filesystem::path const& folder)
{
    std::map<std::string, std::string> entries;
    for (auto const& entry : std::filesystem::recursive_directory_iterator(folder)) {
        struct stat st { };
        EXPECT_EQ(::lstat(entry.path().c_str(), &st), 0);
        auto what = fmt::format("{:o} ", st.st_mode);
        if (S_ISLNK(st.st_mode))
            what += std::filesystem::read_symlink(entry.path()).string();
        else if (S_ISREG(st.st_mode)) {
            auto bytes = testing_support::read_file(entry.path());
            what += fmt::format("{} bytes {:x}", bytes.size(), std::hash<std::string> {}(bytes));
        }
        entries[std::filesystem::relative(entry.path(), folder).string()] = what;
    }
    return entries;
}

}

// Whoever can write to the clips folder can plant links in it: at the hidden folder (here to the settings
// folder), at a sidecar, a thumbnail (to a private file), a recording's journal or a temporary name. Saving, the
// three edits, deleting, trimming, the start-up sweep and the completion of unfinished recordings then still change,
// create and remove nothing outside the clips folder, and no linked file's bytes end up in a clip's sidecar or
// thumbnail.
TEST_F(SaverRealMedia, LinksPlantedInTheClipsFolderNeverReachOutside)
{
    namespace fs = std::filesystem;
    auto const outside = dir() / "config";
    std::string const secret = "private bytes";
    library::Clip foreign { "settings", "pas à moi", "Étranger", 1, 1.0, 1, true, false, 2, 2 };
    write_file("config/settings.json", library::sidecar_text(foreign));
    write_file("config/settings.jpg", secret);
    fs::permissions(outside / "settings.jpg", fs::perms::owner_read | fs::perms::owner_write);
    write_file("config/victim", "precious");
    write_file("config/settings.journal", "not a journal");
    write_file("config/settings.reserve", "room");
    auto const before = snapshot(outside);

    auto plant = [&](fs::path const& at, fs::path const& target) {
        std::error_code ec;
        fs::remove(at, ec);
        fs::create_symlink(target, at);
    };
    auto exercise = [&](fs::path const& clips, bool hidden_linked) {
        SCOPED_TRACE(clips.string());
        auto meta = clips / ".quillmar";
        if (!hidden_linked) {
            std::pair<char const*, char const*> const links[] = { { "settings.json", "settings.json" },
                { "settings.jpg", "settings.jpg" }, { "settings.json.tmp", "victim" },
                { "settings.jpg.part", "created.jpg" }, { "x.json.tmp", "victim" }, { "x.jpg.part", "victim" },
                { "settings.journal", "settings.journal" }, { "settings.reserve", "settings.reserve" } };
            for (auto [name, target] : links)
                plant(meta / name, outside / target);
        }
        plant(clips / "x.mp4.part", outside / "victim");
        engine_rig::Rig local;
        auto engine = local.make(clips);
        engine->settings.with([](settings::Settings& s) { s.in_game_toast = false; });
        ASSERT_TRUE(engine_rig::write_clip(clips, "settings", h264()));

        // Reading: the linked files are not the clip's.
        EXPECT_EQ(library::read_clip_meta(clips, "settings", clips / "settings.mp4").game, "Autres");
        EXPECT_FALSE(library::read_thumbnail(clips, "settings"));

        // A save, with its thumbnail.
        fill_current(*local.shared, t0);
        auto [thumb_tx, thumb_rx] = channel::make<shared::Thumbnail>();
        thumb_tx.send(shared::Thumbnail(shared::thumbnail_bytes, 0x40));
        run_saver(engine, engine::SaveRequest { std::move(thumb_rx), "Valorant", t0 + 3 * second, 2 });
        EXPECT_EQ(mp4_count(clips), 2u);

        // The trim copies no linked thumbnail.
        auto cut = trim::cut_clip(clips, "settings", 0.0, 2.0);
        EXPECT_EQ(bool(cut), !hidden_linked);
        for (auto const& entry : fs::directory_iterator(clips)) {
            auto id = entry.path().stem().string();
            if (entry.path().extension() == ".mp4" && id != "settings") {
                EXPECT_NE(read_file(library::thumb_path(clips, id)), secret) << id;
            }
        }

        // The edits: refused behind a linked hidden folder, else written over the links.
        EXPECT_EQ(bool(library::set_favorite(clips, "settings", true)), !hidden_linked);
        EXPECT_EQ(bool(library::set_title(clips, "settings", "Titre")), !hidden_linked);
        EXPECT_EQ(bool(library::set_game(clips, "settings", "Jeu")), !hidden_linked);

        // Deleting removes the clip's own companions only.
        if (!hidden_linked)
            plant(meta / "settings.json", outside / "settings.json");
        ASSERT_TRUE(library::mark_deleted(engine->pending_deletions, clips, std::vector<std::string> { "settings" },
            std::chrono::steady_clock::now()));
        EXPECT_TRUE(library::purge_deleted(
            engine->pending_deletions, *local.trash, library::Force::Yes, std::chrono::steady_clock::now())
                .empty());

        // The start-up sweep and the completion of recordings a crash left unfinished. Another copy of the program
        // saving into the folder meanwhile holds its parts: they stay, and its commits then succeed.
        ASSERT_TRUE(engine_rig::write_clip(clips, "settings", h264()));
        std::vector<std::pair<fs::path, fs::path>> held { { clips / "saving.mp4.part", clips / "saving.mp4" } };
        std::vector<fs::path> left { clips / "old.mp4.part" };
        if (!hidden_linked) {
            held.insert(held.end(), { { meta / "saving.jpg.part", meta / "saving.jpg" },
                { meta / "saving.json.tmp", meta / "saving.json" } });
            left.insert(left.end(), { meta / "old.jpg.part", meta / "old.json.tmp" });
        }
        std::vector<files::PartFile> writers;
        for (auto const& [temp, final] : held) {
            auto writer = files::PartFile::create(temp, final);
            ASSERT_TRUE(writer) << writer.error();
            ASSERT_TRUE(files::write_all(writer->fd(), std::span(reinterpret_cast<std::uint8_t const*>("saving"), 6)));
            writers.push_back(std::move(*writer));
        }
        for (auto const& path : left)
            std::ofstream(path) << "left by a crash";
        library::remove_leftover_parts(clips);
        for (auto& writer : writers)
            EXPECT_TRUE(writer.commit());
        for (auto const& [temp, final] : held)
            EXPECT_EQ(read_file(final), "saving") << final;
        for (auto const& path : left)
            EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
        engine::complete_unfinished_recordings(clips);
        EXPECT_TRUE(fs::is_symlink(clips / "x.mp4.part"));
    };

    // The hidden folder itself is a link to the settings folder: refused at start-up, and by every writer later.
    auto linked = dir() / "linked";
    fs::create_directories(linked);
    fs::create_directory_symlink(outside, linked / ".quillmar");
    auto prepared = library::ensure_meta_dir(linked);
    EXPECT_EQ(prepared ? std::string("accepted") : prepared.error(), library::meta_link_text);
    exercise(linked, true);
    EXPECT_EQ(snapshot(outside), before);

    // A real hidden folder holding links.
    auto planted = dir() / "planted";
    ASSERT_TRUE(library::ensure_meta_dir(planted));
    exercise(planted, false);
    EXPECT_EQ(snapshot(outside), before);
}

// A saved clip is confirmed by the toast "Clip gardé" with its length and size, "m:ss · N Mo".
TEST_F(SaverRealMedia, SavedClipToastGivesItsLengthAndSize)
{
    engine = rig.make(dir());
    engine->settings.with([](settings::Settings& s) { s.in_game_toast = true; });
    fill_current(*rig.shared, t0);
    toast::post(toast::Kind::Failure, "avant", "");
    run_saver(
        engine, engine::SaveRequest { channel::make<shared::Thumbnail>().second, "Valorant", t0 + 3 * second, 2 });

    auto saved = events_of<engine::PageEvent::ClipSaved>(rig.events->copy());
    ASSERT_EQ(saved.size(), 1u) << toast::current_message().subtext;
    auto toast = toast::current_message();
    EXPECT_EQ(toast.title, "Clip gardé");
    EXPECT_EQ(toast.kind, toast::Kind::Ok);
    // 2 to 3 s of media from the keyframe before the span, well under a megabyte.
    EXPECT_TRUE(toast.subtext == "0:02 · 0 Mo" || toast.subtext == "0:03 · 0 Mo") << toast.subtext;
}

// A start that cannot go on leaves nothing behind, and the player hears why in the game too (failures show even
// with in-game toasts off). A recording without its journal or the room for its index would lose everything to
// the first crash or full disk: it is refused as well.
TEST_F(SaverRealMedia, RecordingRefusedAtItsStartLeavesNoFile)
{
    enum class Setup { None, ClipsFolderIsAFile, HiddenFolderIsALink, FolderAtTheReserve };
    struct Row {
        char const* name;
        bool keyframes;
        rlim_t file_limit; // as on a full disk
        Setup setup;
        std::string_view prefix;
        std::string_view suffix;
    };
    Row const rows[] = {
        { "nothing buffered", false, RLIM_INFINITY, Setup::None, "Le tampon démarre encore. Réessaie dans une seconde.",
            "" },
        { "no room for the header", true, 16, Setup::None, "Impossible d'écrire : ", " (os error 27)" },
        { "no room for the journal's header", true, mp4::recording_media_start, Setup::None,
            "Impossible d'écrire : ", " (os error 27)" },
        { "no room for the index", true, 64 << 10, Setup::None, "Impossible d'écrire : ", " (os error 27)" },
        { "clips folder not writable", true, RLIM_INFINITY, Setup::ClipsFolderIsAFile,
            "Impossible de créer le fichier : ", " (os error 20)" },
        { "journal cannot be made", true, RLIM_INFINITY, Setup::HiddenFolderIsALink,
            "Impossible d'écrire : ", library::meta_link_text },
        { "reserve cannot be made", true, RLIM_INFINITY, Setup::FolderAtTheReserve,
            "Impossible d'écrire : ", " (os error 21)" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        rig = {};
        auto folder = dir() / row.name;
        std::filesystem::create_directories(folder);
        if (row.setup == Setup::HiddenFolderIsALink)
            std::filesystem::create_directory_symlink(dir(), folder / ".quillmar");
        else
            ASSERT_TRUE(library::ensure_meta_dir(folder));
        if (row.setup == Setup::FolderAtTheReserve) {
            // A folder where the reserve of any recording started in the next minutes would go.
            auto now = std::chrono::system_clock::now();
            for (int s = -5; s < 300; ++s) {
                auto id = "Valorant " + engine::local_stamp_at(now + std::chrono::seconds(s));
                std::filesystem::create_directories(library::reserve_path(folder, id));
            }
        }
        auto clips = folder;
        if (row.setup == Setup::ClipsFolderIsAFile)
            clips = write_file((std::filesystem::path(row.name) / "file").string(), "x");
        ASSERT_NO_FATAL_FAILURE(start_engine(row.keyframes, clips));
        engine->settings.with([](settings::Settings& s) { s.in_game_toast = false; });
        toast::post(toast::Kind::Ok, "avant", "");
        testing_support::with_file_size_limit(row.file_limit, [&] { engine::toggle_recording(engine); });

        auto text = expect_error(rig.events->copy(), 1, row.prefix, row.suffix);
        auto toast = toast::current_message();
        EXPECT_EQ(toast.title, "Enregistrement non lancé");
        EXPECT_EQ(toast.subtext, text);
        EXPECT_EQ(toast.kind, toast::Kind::Failure);
        EXPECT_FALSE(engine->recording.copy().has_value());
        EXPECT_EQ(mp4_count(folder), 0u);
        // Neither journal nor reserve (a linked hidden folder is never written through).
        for (auto const& entry : std::filesystem::directory_iterator(folder / ".quillmar")) {
            if (row.setup != Setup::HiddenFolderIsALink)
                EXPECT_TRUE(row.setup == Setup::FolderAtTheReserve && entry.is_directory()) << entry.path();
        }
        auto lock = engine->pipeline_lock.lock();
        engine::stop_video_pipeline(*engine);
    }
}

// A write error ends the recording at once and the player hears of it. Here not one whole frame reached the file:
// nothing of the recording stays (file, journal, reserve, thumbnail), and no clip is announced.
TEST_F(SaverRealMedia, WriteErrorStopsTheRecordingAtOnceAndReportsIt)
{
    ASSERT_NO_FATAL_FAILURE(start_engine(true));
    engine::toggle_recording(engine);
    auto slot = engine->recording.copy();
    ASSERT_TRUE(slot);
    // The thumbnail is written as the next sample comes, while the disk still has room.
    deliver_thumbnail();
    shared::push_audio(*rig.shared, *h264().audio_packets.back().data, h264().audio_packets.back().time + 1);
    ASSERT_TRUE(media::poll_until([&] { return std::filesystem::exists(library::thumb_path(dir(), slot->clip_id)); }));
    // Samples arrive until the recorder's buffer overflows to the file, which can take nothing past its header:
    // the recording then ends by itself, with no second press.
    testing_support::with_file_size_limit(100, [&] {
        for (int i = 1; i <= 300 && engine->recording.copy(); ++i)
            push_live(*rig.shared, 3 * i * second);
        engine::wait_recording_finished(*engine, 1000, std::chrono::milliseconds(10));
    });

    EXPECT_FALSE(engine->recording.copy().has_value());
    expect_error(rig.wait_events(2), 2, "Enregistrement interrompu : ", " (os error 27)");
    EXPECT_EQ(toast::current_message().title, "Enregistrement interrompu");
    EXPECT_FALSE(rig.shared->rings.with([](shared::Rings& rings) { return rings.sink.has_value(); }));
    EXPECT_EQ(mp4_count(dir()), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(dir() / ".quillmar"));
}

// The recording finished whole but its record could not be written (every inode taken, say): it is kept and
// said so, listed with the record the library makes up for a clip without one, as a save whose record failed.
TEST_F(SaverRealMedia, RecordingWhoseRecordCannotBeWrittenIsReportedKept)
{
    ASSERT_NO_FATAL_FAILURE(start_engine(true));
    engine->settings.with([](settings::Settings& s) { s.in_game_toast = true; });
    engine::toggle_recording(engine);
    auto slot = engine->recording.copy();
    ASSERT_TRUE(slot);
    deliver_thumbnail();
    // A folder in the record's place: its rename over it fails.
    std::filesystem::create_directories(library::meta_path(dir(), slot->clip_id));
    push_live(*rig.shared, 3 * second);
    engine::toggle_recording(engine);
    engine::wait_recording_finished(*engine, 1'000'000'000, std::chrono::milliseconds(10));

    auto events = rig.wait_events(2);
    EXPECT_TRUE(events_of<Error>(events).empty());
    auto finished = events_of<Finished>(events);
    ASSERT_EQ(finished.size(), 1u);
    auto path = dir() / (slot->clip_id + ".mp4");
    EXPECT_EQ(finished[0].clip, library::fallback_clip(slot->clip_id, path));
    auto toast = toast::current_message();
    EXPECT_EQ(toast.title, "Enregistrement gardé");
    EXPECT_EQ(toast.kind, toast::Kind::Ok);
    EXPECT_EQ(toast.subtext, "0:04 · 0 Mo");
    std::string errors;
    auto info = media::probe(path, &errors);
    EXPECT_EQ(errors, "");
    ASSERT_FALSE(info.is_null());
    EXPECT_NEAR(std::stod(info["format"]["duration"].get<std::string>()), 4.0, 0.2);
    engine_rig::expect_decodes(path);
}

// Once the disk is full, the recording stops by itself and the player is told, but what it wrote is kept:
// the file is completed with its whole samples, listed with its sidecar and thumbnail.
TEST_F(SaverRealMedia, WriteErrorCompletesTheFileWithWhatItHolds)
{
    ASSERT_NO_FATAL_FAILURE(start_engine(true));
    engine::toggle_recording(engine);
    deliver_thumbnail();
    auto slot = engine->recording.copy();
    ASSERT_TRUE(slot);
    auto path = dir() / (slot->clip_id + ".mp4");
    push_live(*rig.shared, 3 * second);
    // Two chunks at least reach the file before it fills.
    ASSERT_TRUE(media::poll_until([&] { return std::filesystem::file_size(path) > 40'000; }, std::chrono::seconds(20)));
    testing_support::with_file_size_limit(std::filesystem::file_size(path) + 5'000, [&] {
        for (int i = 2; i <= 300 && engine->recording.copy(); ++i)
            push_live(*rig.shared, 3 * i * second);
        engine::wait_recording_finished(*engine, 1000, std::chrono::milliseconds(10));
    });

    EXPECT_FALSE(engine->recording.copy().has_value());
    auto events = rig.wait_events(3);
    expect_error(events, 3, "Enregistrement interrompu : ", " (os error 27)");
    EXPECT_EQ(toast::current_message().title, "Enregistrement interrompu");
    auto finished = events_of<Finished>(events);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].clip.id, slot->clip_id);
    auto sidecar = library::parse_sidecar(read_file(library::meta_path(dir(), slot->clip_id)));
    ASSERT_TRUE(sidecar);
    EXPECT_TRUE(sidecar->recording);
    EXPECT_GE(sidecar->secs, 1.0);
    EXPECT_EQ(sidecar->bytes, std::filesystem::file_size(path));
    EXPECT_TRUE(std::filesystem::exists(library::thumb_path(dir(), slot->clip_id)));
    EXPECT_FALSE(std::filesystem::exists(library::journal_path(dir(), slot->clip_id)));
    std::string errors;
    auto info = media::probe(path, &errors);
    EXPECT_EQ(errors, "");
    ASSERT_FALSE(info.is_null());
    EXPECT_NEAR(std::stod(info["format"]["duration"].get<std::string>()), sidecar->secs, 0.1);
    engine_rig::expect_decodes(path);
}

TEST_F(SaverRealMedia, RecordingStoppedRightAfterItsStartStillReportsStartFirst)
{
    ASSERT_NO_FATAL_FAILURE(start_engine(true));
    std::filesystem::remove_all(dir()); // deleted by the player: the recording makes it again
    // A pipeline restart stops the recording while the start is telling the page; the finished recording then
    // gets half a second to report itself ahead of its start.
    *rig.before_listing = [this](engine::PageEvent const& event) {
        if (!std::holds_alternative<Started>(event.value))
            return;
        deliver_thumbnail();
        shared::new_segment(*rig.shared);
        for (int i = 0; i < 50 && events_of<Finished>(rig.events->copy()).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    engine::toggle_recording(engine);
    expect_finished(0.9, 1.1);
}

// The parts of a clip, cut per segment, on rings of placeholder samples.

namespace {

mp4::VideoConfig config(std::uint8_t tag)
{
    return mp4::VideoConfig { { 1, 0x64, 0, 0x28, tag }, 1920, 1080, Codec::H264 };
}

// Video at 10 frames a second with a keyframe every `gop` seconds, over [from, to).
void push_video(ring::Ring& ring, std::int64_t from, std::int64_t to, int gop = 2)
{
    for (std::int64_t t = from; t < to; t += second / 10) {
        bool key = (t - from) % (gop * second) == 0;
        ring.push(Packet { make_shared_bytes({ 0, 0, 0, 1, 0x65 }), t, key ? Packet::keyframe_flag : std::uint8_t(0) });
    }
}

void push_audio(ring::Ring& ring, std::int64_t from, std::int64_t to)
{
    for (std::int64_t t = from; t < to; t += 213'333)
        ring.push(Packet { make_shared_bytes({ 0x21, 0x10 }), t, Packet::keyframe_flag });
}

}

TEST(SaverParts, OneClipPerSegmentAndShortOnesLeftOut)
{
    shared::Shared shared;
    shared.rings.with([](shared::Rings& rings) {
        // An older segment of 10 s, then one of 0.8 s, then the current ring.
        ring::Ring old;
        push_video(old, 0, 10 * second);
        rings.segments.push_back({ config(1), std::move(old) });
        ring::Ring brief;
        push_video(brief, 10 * second, 10 * second + 8 * second / 10);
        rings.segments.push_back({ config(2), std::move(brief) });
        push_video(rings.video, 11 * second, 20 * second);
        push_audio(rings.audio, 0, 20 * second);
    });
    shared::store_video_config(shared, config(3));
    auto parts = engine::collect_parts(shared, 5 * second, 20 * second);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].config.record.back(), 1);
    EXPECT_EQ(parts[1].config.record.back(), 3);
    // A segment's audio stops at its last video sample; the current ring's runs to the end of the span.
    EXPECT_LE(parts[0].audio.back().time, parts[0].video.back().time);
    EXPECT_GT(parts[1].audio.back().time, parts[1].video.back().time);

    // Without a stream description the current ring cannot be written.
    shared.video_config.set(std::nullopt);
    EXPECT_EQ(engine::collect_parts(shared, 5 * second, 20 * second).size(), 1u);
}

TEST(SaverParts, RestartBetweenCutAndCheckNeverPairsTheWrongDescription)
{
    shared::Shared shared;
    shared::store_video_config(shared, config(1));
    shared.rings.with([](shared::Rings& rings) { push_video(rings.video, 0, 10 * second); });
    bool restarted = false;
    // A pipeline restart lands right after the first cut: the current ring becomes a segment with
    // description 1 and a new stream with description 2 fills a fresh ring.
    auto parts = engine::collect_parts(shared, 0, 20 * second, [&] {
        if (restarted)
            return;
        restarted = true;
        shared::new_segment(shared);
        shared::store_video_config(shared, config(2));
        shared.rings.with([](shared::Rings& rings) { push_video(rings.video, 10 * second, 20 * second); });
    });
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].config.record.back(), 1);
    EXPECT_LT(parts[0].video.back().time, 10 * second);
    EXPECT_EQ(parts[1].config.record.back(), 2);
    EXPECT_GE(parts[1].video.front().time, 10 * second);
}

using Thumbnail = testing_support::TempDirTest;

TEST_F(Thumbnail, RefusesAnImageOfTheWrongLengthAndKeepsTheOldFile)
{
    auto path = write_file(".quillmar/clip.jpg", "old");
    std::vector<std::uint8_t> short_image(1000);
    EXPECT_FALSE(thumbnail::write_jpeg(short_image, dir(), "clip"));
    EXPECT_EQ(read_file(path), "old");
}

namespace {

// Allocations of this many bytes or more fail while it is set, as at a start short of memory.
std::atomic<std::size_t> refused_allocations { std::numeric_limits<std::size_t>::max() };

}

void* operator new(std::size_t size)
{
    if (size >= refused_allocations.load(std::memory_order_relaxed))
        throw std::bad_alloc();
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }

// At start-up, what a crash, a kill or a power cut left: recordings with their journal are completed and listed
// like any clip; the rest is left for the player, and a journal without its file goes.
class UnfinishedRecordings : public engine_rig::MediaFolder {
protected:
    // A recording of the test media with its journal, cut as a kill leaves it (the last second still queued). With
    // `running`, one still being written, its journal and reserve made as the recording thread makes them and its
    // recorder kept there.
    void leave_killed(std::string const& id, std::optional<mp4::Recorder>* running = nullptr,
                      std::size_t record_padding = 0)
    {
        auto fd = files::open_read_write(dir() / (id + ".mp4"), files::Create::Exclusive);
        ASSERT_TRUE(fd);
        auto recorder = mp4::Recorder::start(std::move(*fd), h264().video.codec);
        ASSERT_TRUE(recorder);
        auto journal = running ? library::create_journal(dir(), id)
                               : files::create_temp(library::journal_path(dir(), id));
        ASSERT_TRUE(journal);
        mp4::JournalHeader header { h264().video, h264().audio, "Valorant" };
        header.video.record.resize(header.video.record.size() + record_padding);
        ASSERT_TRUE(recorder->keep_journal(std::move(*journal), header));
        if (running) {
            auto reserve = library::create_reserve(dir(), id);
            ASSERT_TRUE(reserve);
            ASSERT_TRUE(recorder->keep_reserve(std::move(*reserve)));
        }
        std::size_t a = 0;
        for (auto const& packet : h264().video_packets) {
            for (; a < h264().audio_packets.size() && h264().audio_packets[a].time <= packet.time; ++a)
                ASSERT_TRUE(recorder->push_audio(h264().audio_packets[a]));
            ASSERT_TRUE(recorder->push_video(packet));
        }
        if (running)
            running->emplace(std::move(*recorder));
    }

    // Flips `bits` in the byte of the journal's header at `at` (from its end when negative).
    void flip_header(std::string const& id, std::ptrdiff_t at, std::uint8_t bits)
    {
        auto path = library::journal_path(dir(), id);
        auto journal = read_file(path);
        std::ptrdiff_t end = 8;
        for (int i = 0; i < 4; ++i)
            end += std::ptrdiff_t(std::uint8_t(journal[std::size_t(i)])) << (24 - 8 * i);
        journal[std::size_t(at < 0 ? end + at : at)] ^= char(bits);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << journal;
    }
};

TEST_F(UnfinishedRecordings, AreCompletedAndListedAtStartUp)
{
    namespace fs = std::filesystem;
    // A recording that finished (its sidecar then edited by the player, a tag editor's padding after its index)
    // but whose journal stayed: only the journal goes.
    ASSERT_NO_FATAL_FAILURE(leave_killed("finished"));
    auto const finished_journal = read_file(library::journal_path(dir(), "finished"));
    engine::complete_unfinished_recordings(dir());
    ASSERT_TRUE(library::set_title(dir(), "finished", "Ma partie"));
    ASSERT_TRUE(library::set_favorite(dir(), "finished", true));
    {
        std::ofstream padding(dir() / "finished.mp4", std::ios::binary | std::ios::app);
        std::string free_box("\0\0\x03\xF0" "free", 8);
        padding << free_box << std::string(1000, '\0');
    }
    write_file(library::journal_path(dir(), "finished").lexically_relative(dir()).string(), finished_journal);
    auto const finished_bytes = read_file(dir() / "finished.mp4");
    auto const finished_sidecar = read_file(library::meta_path(dir(), "finished"));

    ASSERT_NO_FATAL_FAILURE(leave_killed("killed"));
    // It ended long before this start: its record takes the file's time.
    auto const ended = fs::file_time_type::clock::now() - std::chrono::hours(30 * 24);
    fs::last_write_time(dir() / "killed.mp4", ended);
    ASSERT_NO_FATAL_FAILURE(leave_killed("without journal"));
    fs::remove(library::journal_path(dir(), "without journal"));
    // Not one whole frame: the recording, its journal and what it left in the hidden folder go.
    ASSERT_NO_FATAL_FAILURE(leave_killed("cut before its first sample"));
    fs::resize_file(dir() / "cut before its first sample.mp4", mp4::recording_media_start + 10);
    write_file(".quillmar/cut before its first sample.jpg", "thumbnail");
    write_file(library::journal_path(dir(), "gone").lexically_relative(dir()).string(), "journal without its file");
    // A link at a recording's name, to a recording outside the folder: neither is changed.
    ASSERT_NO_FATAL_FAILURE(leave_killed("linked"));
    fs::create_directories(dir() / "outside");
    fs::rename(dir() / "linked.mp4", dir() / "outside" / "linked.mp4");
    fs::create_symlink(dir() / "outside" / "linked.mp4", dir() / "linked.mp4");
    // Its header failed its check in the game's name only, two bits of it: completed, the damaged name left out.
    ASSERT_NO_FATAL_FAILURE(leave_killed("game damaged"));
    flip_header("game damaged", -4 - 8, 0xC0);
    // Its header cannot be used (two bits of its record's length are wrong), its file's first bytes are damaged (refused), or
    // its completion throws (its header, which holds a record of 16 MiB, is read at once at a start short of
    // memory): the file and its journal stay as they are, for a later start.
    ASSERT_NO_FATAL_FAILURE(leave_killed("header unusable"));
    flip_header("header unusable", 4 + 1 + 1 + 4 + 4 + 3, 0x03);
    ASSERT_NO_FATAL_FAILURE(leave_killed("start damaged"));
    std::fstream(dir() / "start damaged.mp4", std::ios::binary | std::ios::in | std::ios::out).seekp(4).put('x');
    ASSERT_NO_FATAL_FAILURE(leave_killed("short of memory", nullptr, 16 << 20));
    auto untouched = [&](char const* id) { return read_file(dir() / (std::string(id) + ".mp4")); };
    auto const without_journal = untouched("without journal");
    auto const outside = untouched("linked");
    std::map<std::string, std::pair<std::string, std::string>> kept;
    for (auto id : { "header unusable", "start damaged", "short of memory" })
        kept[id] = { untouched(id), read_file(library::journal_path(dir(), id)) };
    // Another copy of the program (settings of its own, the same clips folder) is recording: nothing of it is
    // touched until its recorder is gone.
    std::optional<mp4::Recorder> running;
    ASSERT_NO_FATAL_FAILURE(leave_killed("running", &running));
    auto running_files = [&] {
        std::vector<std::string> hashes;
        for (auto const& path : { dir() / "running.mp4", library::journal_path(dir(), "running"),
                                  library::reserve_path(dir(), "running") })
            hashes.push_back(fs::exists(path) ? fmt::format("{:x}", std::hash<std::string> {}(read_file(path)))
                                              : "missing");
        return hashes;
    };
    auto const running_before = running_files();

    refused_allocations = 8 << 20;
    engine::complete_unfinished_recordings(dir());
    refused_allocations = std::numeric_limits<std::size_t>::max();
    EXPECT_EQ(running_files(), running_before);
    EXPECT_FALSE(fs::exists(library::meta_path(dir(), "running")));

    auto clips = library::list_clips(dir());
    auto killed = std::ranges::find(clips, std::string("killed"), &library::Clip::id);
    ASSERT_NE(killed, clips.end());
    EXPECT_TRUE(killed->recording);
    EXPECT_EQ(killed->game, "Valorant");
    EXPECT_TRUE(killed->title.starts_with("Enregistrement "));
    auto const ended_secs = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::file_clock::to_sys(ended).time_since_epoch()).count();
    EXPECT_NEAR(double(killed->created), double(ended_secs), 1.0) << "the time of the file, not of the start";
    EXPECT_EQ(killed->width, 320u);
    auto path = dir() / "killed.mp4";
    EXPECT_EQ(killed->bytes, fs::file_size(path));
    std::string errors;
    auto info = media::probe(path, &errors);
    EXPECT_EQ(errors, "");
    ASSERT_FALSE(info.is_null());
    // Three seconds were fed; the chunks of the first two reached the file, the last second was still queued.
    double secs = std::stod(info["format"]["duration"].get<std::string>());
    EXPECT_NEAR(secs, killed->secs, 0.1);
    EXPECT_GE(secs, 1.9);
    engine_rig::expect_decodes(path);

    EXPECT_EQ(read_file(dir() / "finished.mp4"), finished_bytes);
    EXPECT_EQ(read_file(library::meta_path(dir(), "finished")), finished_sidecar);
    engine_rig::expect_decodes(dir() / "finished.mp4");
    EXPECT_EQ(untouched("without journal"), without_journal);
    EXPECT_TRUE(fs::is_symlink(dir() / "linked.mp4"));
    EXPECT_EQ(read_file(dir() / "outside" / "linked.mp4"), outside);
    for (auto id : { "finished", "killed", "cut before its first sample", "gone", "linked" })
        EXPECT_FALSE(fs::exists(library::journal_path(dir(), id))) << id;
    EXPECT_FALSE(fs::exists(library::meta_path(dir(), "without journal")));
    EXPECT_FALSE(fs::exists(library::meta_path(dir(), "linked")));
    EXPECT_FALSE(fs::exists(dir() / "cut before its first sample.mp4"));
    EXPECT_FALSE(fs::exists(library::thumb_path(dir(), "cut before its first sample")));
    EXPECT_EQ(std::ranges::count(clips, std::string("cut before its first sample"), &library::Clip::id), 0);

    auto damaged = std::ranges::find(clips, std::string("game damaged"), &library::Clip::id);
    ASSERT_NE(damaged, clips.end());
    EXPECT_TRUE(damaged->recording);
    EXPECT_EQ(damaged->game, library::fallback_game);
    EXPECT_EQ(damaged->bytes, killed->bytes);
    EXPECT_FALSE(fs::exists(library::journal_path(dir(), "game damaged")));
    for (auto const& [id, bytes] : kept) {
        EXPECT_TRUE(untouched(id.c_str()) == bytes.first) << id << ": the file changed";
        EXPECT_TRUE(read_file(library::journal_path(dir(), id)) == bytes.second) << id << ": the journal changed";
        EXPECT_FALSE(fs::exists(library::meta_path(dir(), id))) << id;
    }
    // The next start, with memory enough, completes it, and the recording killed since whole.
    running.reset();
    engine::complete_unfinished_recordings(dir());
    EXPECT_TRUE(library::has_clip_metadata(dir(), "short of memory"));
    EXPECT_FALSE(fs::exists(library::journal_path(dir(), "running")));
    EXPECT_FALSE(fs::exists(library::reserve_path(dir(), "running")));
    EXPECT_EQ(std::ranges::count(library::list_clips(dir()), std::string("running"), &library::Clip::id), 1);
    auto const completed = media::probe(dir() / "running.mp4");
    ASSERT_FALSE(completed.is_null());
    EXPECT_GE(std::stod(completed["format"]["duration"].get<std::string>()), 1.9);
    engine_rig::expect_decodes(dir() / "running.mp4");
    EXPECT_FALSE(fs::exists(library::journal_path(dir(), "short of memory")));
    EXPECT_TRUE(read_file(library::journal_path(dir(), "header unusable")) == kept["header unusable"].second);
}
