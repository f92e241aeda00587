#include "engine/recording.h"

#include <chrono>
#include <future>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

#include "core/mp4_recorder.h"
#include "core/spill.h"
#include "library/naming.h"
#include "engine/saver.h"
#include "engine/thumbnail.h"
#include "engine/toast.h"

namespace engine {

namespace {

constexpr char const* not_ready_text = "Le tampon démarre encore. Réessaie dans une seconde.";
constexpr int seed_attempts = 3;

struct Seed {
    mp4::VideoConfig config;
    Ticks keyframe { 0 };
    std::uint64_t ring_id { 0 };
    std::vector<ring::Sample> video;
    std::vector<ring::Sample> audio;
};

// The samples from the newest keyframe on, with the description read before and after the cut agreeing,
// so that a pipeline restart in between can never pair them with the wrong description.
std::optional<Seed> take_seed(shared::Shared& shared, bool has_audio)
{
    auto taken = shared::cut_with_config(shared, seed_attempts,
        [&](shared::Rings& rings, std::optional<mp4::VideoConfig> const& config) -> std::optional<Seed> {
            if (!config || rings.video.keyframes.empty())
                return std::nullopt;
            Seed seed;
            seed.keyframe = rings.video.keyframes.back();
            seed.ring_id = rings.video.id;
            seed.video = rings.video.samples_between(seed.keyframe, std::numeric_limits<Ticks>::max());
            if (has_audio)
                seed.audio = rings.audio.samples_between(seed.keyframe, std::numeric_limits<Ticks>::max());
            return seed;
        });
    if (!taken.stable || !taken.cut)
        return std::nullopt;
    taken.cut->config = std::move(*taken.config);
    return std::move(taken.cut);
}

Result<void> push_seed(mp4::Recorder& recorder, Seed& seed)
{
    for (auto const& sample : seed.video) {
        if (auto packet = spill::load_sample(sample))
            TRY_VOID(recorder.push_video(std::move(*packet)));
    }
    for (auto const& sample : seed.audio) {
        if (auto packet = spill::load_sample(sample))
            TRY_VOID(recorder.push_audio(std::move(*packet)));
    }
    return {};
}

// The record of a finished recording; `ended` gives its title's clock and its creation time.
library::Clip recording_clip(std::string const& id, std::string const& game, mp4::RecordingSummary const& summary,
                             mp4::VideoConfig const& config, std::chrono::system_clock::time_point ended)
{
    library::Clip clip;
    clip.id = id;
    clip.title = fmt::format("Enregistrement {}", title_clock(local_stamp_at(ended)));
    clip.game = game;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(ended.time_since_epoch()).count();
    clip.created = static_cast<std::uint64_t>(std::max<std::int64_t>(seconds, 0));
    clip.secs = static_cast<double>(summary.duration_ticks) / static_cast<double>(ticks::ticks_per_second);
    clip.bytes = summary.bytes;
    clip.width = config.width;
    clip.height = config.height;
    clip.favorite = false;
    clip.recording = true;
    return clip;
}

// A recording keeps a journal (and room for its index) from its first chunk on, so that a crash, a kill or a
// full disk never costs more than its last seconds. Without either it would lose everything to the first of
// them, so a journal or a reserve that cannot be made refuses the start, as a disk too full for the file does.
Result<void> keep_journal(mp4::Recorder& recorder, std::filesystem::path const& folder, std::string const& id,
                          mp4::JournalHeader const& header)
{
    // Both names must outlive a power cut, or the journal would be found without its file or not at all: the
    // journal's folder is synced as it is created.
    auto journal = TRY(library::create_journal(folder, id));
    TRY_VOID(recorder.keep_journal(std::move(journal), header));
    (void)files::sync_folder_of(folder / (id + ".mp4"));
    auto reserve = TRY(library::create_reserve(folder, id));
    return recorder.keep_reserve(std::move(reserve));
}

// A start that fails is heard in the game as well as on the page: the player pressed a key and waits for it.
void refuse(Engine& engine, std::string text)
{
    toast::post(toast::Kind::Failure, "Enregistrement non lancé", text);
    engine.notify(PageEvent { PageEvent::Error { std::move(text) } });
}

struct RecordingState {
    mp4::Recorder recorder;
    mp4::VideoConfig config;
    bool has_audio { false };
    channel::Receiver<shared::LiveSample> live;
    channel::Receiver<shared::Thumbnail> thumbnail;
    std::filesystem::path folder;
    ClipName name;
    std::string game;
    std::weak_ptr<Engine> engine;
    // Set once the start has told the page: a recording stopped at once (a pipeline restart) must not report
    // its end before its start, or the page would show it running forever.
    std::shared_future<void> announced;
};

// Stops a running recording: its sink goes and it is told to stop.
void stop_running(Engine& engine)
{
    auto sink = engine.shared->rings.with([](shared::Rings& rings) {
        auto taken = std::move(rings.sink);
        rings.sink.reset();
        return taken;
    });
    if (sink)
        sink->send(shared::LiveSample { shared::LiveSample::Stop {} });
}

void recording_thread(RecordingState state)
{
    std::optional<std::string> error;
    // The thumbnail is written as soon as it comes: a recording completed after a crash has it too.
    bool thumbnail_done = false;
    auto take_thumbnail = [&](std::optional<shared::Thumbnail> image) {
        if (!image)
            return;
        write_thumbnail(image, state.folder, state.name.id());
        thumbnail_done = true;
    };
    while (auto message = state.live.recv()) {
        if (std::holds_alternative<shared::LiveSample::Stop>(message->value))
            break;
        Result<void> pushed;
        if (auto* video = std::get_if<shared::LiveSample::Video>(&message->value))
            pushed = state.recorder.push_video(std::move(video->packet));
        else if (auto* audio = std::get_if<shared::LiveSample::Audio>(&message->value); audio && state.has_audio)
            pushed = state.recorder.push_audio(std::move(audio->packet));
        if (!pushed) {
            error = pushed.error();
            break;
        }
        if (!thumbnail_done)
            take_thumbnail(state.thumbnail.try_recv());
    }
    // A write error ends the recording at once: the file can take nothing more, and the player must hear of it
    // now, not when he presses the key again. The slot is still ours, so the sink is this recording's.
    if (error) {
        if (auto engine = state.engine.lock())
            stop_running(*engine);
    }

    std::optional<mp4::RecordingSummary> summary;
    auto const* audio = state.has_audio ? &clip_audio : nullptr;
    if (!error) {
        auto finished = state.recorder.finish(state.config, audio);
        if (finished)
            summary = *finished;
        else
            error = finished.error();
    }
    // Stopped by a write error (a full disk): the file is completed with what it holds, and kept.
    bool salvaged = false;
    if (error && !state.recorder.kept_no_video()) {
        if (auto completed = state.recorder.salvage(state.config, audio)) {
            summary = *completed;
            salvaged = true;
        }
    }
    // Not one whole frame: an empty file would be listed as the latest clip, and it could never become one.
    bool empty = !summary && state.recorder.kept_no_video();
    if (empty)
        library::remove_recording(state.folder, state.name.id());
    else if (!thumbnail_done)
        take_thumbnail(state.thumbnail.recv_for(std::chrono::milliseconds(thumbnail_wait_ms)));

    state.announced.wait();
    auto engine = state.engine.lock();
    if (!engine) {
        // No sidecar without the engine: the journal stays, and the next start completes the record.
        return;
    }
    library::Clip clip;
    if (summary) {
        clip = recording_clip(state.name.id(), state.game, *summary, state.config, std::chrono::system_clock::now());
        if (library::save_clip_metadata(state.folder, clip)) {
            library::remove_journal(state.folder, state.name.id());
        } else {
            // The file is whole all the same (no inode left for the record, say): it is kept, and listed with the
            // record the library makes up without one. The journal stays, for the next start to write it.
            clip = library::read_clip_meta(state.folder, clip.id, state.folder / (clip.id + ".mp4"));
        }
    }
    // The slot empties only once the sidecar exists: quitting waits on it, so the clip is never left without
    // its record.
    engine->recording.set(std::nullopt);
    if (error) {
        toast::post(toast::Kind::Failure, "Enregistrement interrompu", *error);
        // The page lists what was kept, then hears why the recording stopped.
        if (salvaged)
            engine->notify(PageEvent { PageEvent::RecordingFinished { std::move(clip) } });
        engine->notify(PageEvent { PageEvent::Error { fmt::format("Enregistrement interrompu : {}", *error) } });
        return;
    }
    auto secs = static_cast<double>(summary->duration_ticks) / static_cast<double>(ticks::ticks_per_second);
    toast::notify(
        *engine, "Enregistrement gardé", fmt::format("{} · {}", format_duration(secs), format_size(summary->bytes)));
    engine->notify(PageEvent { PageEvent::RecordingFinished { std::move(clip) } });
}

void start(std::shared_ptr<Engine> const& engine)
{
    auto& shared = *engine->shared;
    bool has_audio = shared.audio_running.load() != 0;
    auto seed = take_seed(shared, has_audio);
    if (!seed) {
        refuse(*engine, not_ready_text);
        return;
    }
    auto folder = engine->clips_dir();
    Ticks now = ticks::now();
    auto game = engine->game_between(now - 5 * ticks::ticks_per_second, now);
    auto name = clip_file_name(folder, game, local_stamp());
    auto path = folder / (name.id() + ".mp4");

    library::restore_clips_dir(folder);
    // Exclusive: never take over a file that appeared since the name was chosen, nor follow a link.
    auto fd = files::open_read_write(path, files::Create::Exclusive);
    if (!fd) {
        refuse(*engine, fmt::format("Impossible de créer le fichier : {}", fd.error()));
        return;
    }
    auto recorder = mp4::Recorder::start(std::move(*fd), seed->config.codec);
    if (recorder) {
        mp4::JournalHeader header { seed->config, has_audio ? std::optional(clip_audio) : std::nullopt, game };
        if (auto kept = keep_journal(*recorder, folder, name.id(), header); !kept)
            recorder = std::unexpected(kept.error());
    }
    if (!recorder) {
        // A file with only a header would be listed as a broken clip.
        library::remove_recording(folder, name.id());
        refuse(*engine, fmt::format("Impossible d'écrire : {}", recorder.error()));
        return;
    }

    auto thumb_rx = shared::request_thumbnail(shared);
    auto [live_tx, live_rx] = channel::make<shared::LiveSample>();

    // The rest of the ring since the cut and the switch of the sink happen under one lock: every sample is
    // either in the seed or sent to the recording, never lost between the two.
    bool attached = shared.rings.with([&](shared::Rings& rings) {
        if (rings.video.id != seed->ring_id)
            return false;
        Ticks after_video = seed->video.empty() ? seed->keyframe : seed->video.back().time + 1;
        for (auto& sample : rings.video.samples_between(after_video, std::numeric_limits<Ticks>::max()))
            seed->video.push_back(std::move(sample));
        if (has_audio) {
            Ticks after_audio = seed->audio.empty() ? seed->keyframe : seed->audio.back().time + 1;
            for (auto& sample : rings.audio.samples_between(after_audio, std::numeric_limits<Ticks>::max()))
                seed->audio.push_back(std::move(sample));
        }
        rings.sink = live_tx;
        return true;
    });
    if (!attached) {
        library::remove_recording(folder, name.id());
        refuse(*engine, not_ready_text);
        return;
    }

    // Spilled samples are read back outside every lock; a sample that cannot be read is skipped. A write
    // error ends the start: the file would index bytes that are not where it says.
    if (auto seeded = push_seed(*recorder, *seed); !seeded) {
        stop_running(*engine);
        library::remove_recording(folder, name.id());
        refuse(*engine, fmt::format("Impossible d'écrire : {}", seeded.error()));
        return;
    }

    std::string const id = name.id();
    std::promise<void> announced;
    RecordingState state { std::move(*recorder), seed->config, has_audio, std::move(live_rx), std::move(thumb_rx),
                           folder, std::move(name), game, engine, announced.get_future().share() };
    engine->recording.set(RecordingSlot { seed->keyframe, id });
    auto spawned = threads::spawn_detached("quillmar-recording",
                                           [state = std::make_shared<RecordingState>(std::move(state))]() mutable {
                                               recording_thread(std::move(*state));
                                           });
    if (!spawned) {
        engine->recording.set(std::nullopt);
        stop_running(*engine);
        library::remove_recording(folder, id);
        refuse(*engine, fmt::format("Enregistrement interrompu : {}", spawned.error()));
        return;
    }
    toast::notify(*engine, "Enregistrement lancé", "Appuie de nouveau pour arrêter");
    engine->notify(PageEvent { PageEvent::RecordingStarted {} });
    announced.set_value();
}

}

void toggle_recording(std::shared_ptr<Engine> const& engine)
{
    BusyGuard busy(*engine);
    bool recording = engine->recording.with([](auto const& slot) { return slot.has_value(); });
    bool video_running = engine->video_pipeline.with([](auto const& handle) { return handle.has_value(); });
    if (!recording && !video_running && !engine->quit.load()) {
        ensure_pipeline(*engine, engine->settings_copy());
        for (int check = 0; check < recording_ready_checks; ++check) {
            bool ready = engine->shared->video_config.with([](auto const& c) { return c.has_value(); })
                && engine->shared->rings.with([](shared::Rings& r) { return !r.video.keyframes.empty(); });
            if (ready)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(recording_ready_interval_ms));
        }
    }

    auto start_lock = engine->recording_start.lock();
    if (engine->recording.with([](auto const& slot) { return slot.has_value(); })) {
        stop_running(*engine);
        return;
    }
    // Once quitting, the key only ever stops.
    if (engine->quit.load())
        return;
    start(engine);
}

namespace {

// What became of one recording left unfinished. The journal goes once the file is complete, or when the name no
// longer holds the file it describes; otherwise it is the only means of mending the file, and both stay as
// they are for a later start (or a later tool).
enum class Leftover { Done, TryAgain };

Leftover complete_unfinished(std::filesystem::path const& folder, std::string const& id)
{
    // A recording still running holds its journal's lock: another copy of the program (another settings folder,
    // the same clips folder) is writing it, and its file, reserve and journal are left as they are. Held to the
    // end here, so that two start-ups at once complete a recording once.
    auto const held = library::lock_journal(folder, id);
    if (!held)
        return Leftover::TryAgain;
    // The room it kept for its index is no longer needed: the index goes after the file's bytes.
    library::remove_reserve(folder, id);
    auto mp4 = folder / (id + ".mp4");
    std::error_code ec;
    auto status = std::filesystem::symlink_status(mp4, ec);
    // No file, or something else at its name (a link is never followed, nor is what it leads to changed).
    if (ec || status.type() != std::filesystem::file_type::regular)
        return ec && ec != std::errc::no_such_file_or_directory ? Leftover::TryAgain : Leftover::Done;
    // Opened without following a link: if one was put at the name since, nothing is written through it.
    auto fd = library::open_recording(folder, id);
    if (!fd) {
        auto now = std::filesystem::symlink_status(mp4, ec);
        return !ec && now.type() == std::filesystem::file_type::symlink ? Leftover::Done : Leftover::TryAgain;
    }
    auto contents = mp4::read_journal_file(held->get());
    // Unreadable now (a disk error), or its header cannot be used: both stay as they are.
    if (!contents || !*contents)
        return Leftover::TryAgain;
    // The recording ended with its last write; completion writes after it, so the time is taken first.
    struct stat st {};
    std::optional<std::chrono::system_clock::time_point> ended;
    if (::fstat(fd->get(), &st) == 0)
        ended = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    auto completed = mp4::complete_from_journal(fd->get(), std::move(**contents));
    fd->reset();
    // Refused (the file is not what the journal describes, or it may hold a frame a damaged entry hid), or a
    // failure that may pass: the file stays as it was, and its journal with it.
    if (!completed)
        return Leftover::TryAgain;
    if (completed->completion == mp4::Completion::Empty) {
        // Not one whole frame, as whole entries prove: a 0:00 clip nothing can play. The journal proves the
        // recorder made it.
        library::remove_recording(folder, id);
        return Leftover::Done;
    }
    // A sidecar already there is the player's (a title, a favourite): it stays. Without one, the clip gets the
    // record of a recording, from its journal and its file's time.
    if (!library::has_clip_metadata(folder, id)) {
        // A game's name the damaged journal could not give is left out, as for a clip without its record.
        std::string game = completed->header.label.empty() ? std::string(library::fallback_game)
                                                            : completed->header.label;
        auto clip = recording_clip(id, game, completed->summary, completed->header.video,
                                   ended.value_or(std::chrono::system_clock::now()));
        if (!library::save_clip_metadata(folder, clip))
            return Leftover::TryAgain;
    }
    return Leftover::Done;
}

}

void complete_unfinished_recordings(std::filesystem::path const& folder)
{
    // Nothing here may end the start: a recording that cannot be completed (even for want of memory) is left
    // as it is, and the program starts.
    try {
        for (auto const& id : library::journaled_recordings(folder)) {
            Leftover leftover = Leftover::TryAgain;
            try {
                leftover = complete_unfinished(folder, id);
            } catch (...) {
                // Out of memory, or anything else thrown: a failure that may pass. The file and its journal stay
                // as they are, and the next start tries again.
                leftover = Leftover::TryAgain;
            }
            // Completed, or its file no longer at the name: the journal has nothing left to mend.
            if (leftover == Leftover::Done)
                library::remove_journal(folder, id);
        }
    } catch (...) {
    }
}

}
