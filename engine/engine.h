#pragma once
// The engine as the rest of the program sees it: one Engine per process, built by the start-up builder and
// held through one shared reference by the shell, the API and the saver. The gate, trash and hotkey callbacks
// hold weak references and take a strong one only for the length of one cycle.
//
// Lock order: the settings-change lock, then the pipeline lock, then a pipeline-handle lock (only to read, take or store a handle, never
// across a thread body or a join), then the recording lock, then leaves one at a time (settings, clips
// folder, pending deletions, the shortcuts, the history and every Shared lock). The settings, history and library
// locks are each released before the pipeline lock is taken. Every start and stop of the pipelines happens
// under the pipeline lock, so starts and stops never interleave.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "base/channel.h"
#include "base/clock.h"
#include "engine/foreground.h"
#include "library/library.h"
#include "library/settings.h"
#include "engine/shared.h"
#include "engine/video_capture.h"
#include "base/threads.h"

namespace platform {
class Trash;
}

namespace engine {

using ticks::Ticks;
using StopFlag = std::shared_ptr<std::atomic<bool>>;

// What the engine tells the page, through the notifier; callable from any thread.
struct PageEvent {
    struct ClipSaved {
        library::Clip clip;
    };
    struct Removed {
        std::vector<std::string> ids;
    };
    struct RecordingStarted { };
    struct RecordingFinished {
        library::Clip clip;
    };
    struct SettingsChanged { };
    struct Error {
        std::string text;
    };
    std::variant<ClipSaved, Removed, RecordingStarted, RecordingFinished, SettingsChanged, Error> value;
};
using Notifier = std::function<void(PageEvent)>;

// One request of the saver: the thumbnail that the capture loop will deliver, the game that was in front,
// and the span [end - secs, end].
// A request that carries `drained` saves nothing: the saver answers on it once every request queued before
// it is done.
struct SaveRequest {
    channel::Receiver<shared::Thumbnail> thumbnail;
    std::string game;
    Ticks end { 0 };
    std::uint32_t secs { 0 };
    std::optional<channel::Sender<bool>> drained {};
};

// A running continuous recording: the time of the keyframe that opens its file, and its clip id.
struct RecordingSlot {
    Ticks start { 0 };
    std::string clip_id;
};

// What a global shortcut does when pressed.
enum class HotkeyKind : std::uint8_t { Save, Record };

// The global shortcuts as the engine and the page see them; the shell plugs in its hotkeys thread. Every
// function may be called from any thread and returns without waiting for the shortcuts to change.
class Shortcuts {
public:
    virtual ~Shortcuts() = default;
    // Releases every shortcut while paused (the page is capturing a new key, or the program quits).
    virtual void set_paused(bool paused) = 0;
    // Pauses, and returns once every shortcut pressed before the call has been handled and the pause is in
    // force, or after `bound`: the quit sequence waits so, since it finishes what those presses asked for.
    virtual void settle_and_pause(std::chrono::milliseconds bound) = 0;
    // Registers the shortcuts of these settings in place of the current ones.
    virtual void apply(settings::Settings const& settings) = 0;
    // The labels of the shortcuts the desktop refused at the last application.
    virtual std::vector<std::string> failed_keys() const = 0;
    // The program's window took or lost the keyboard (hidden or minimised, it has lost it). A pause asked by
    // set_paused ends when the window loses it, and none is taken until it is back: the page pauses the
    // shortcuts only to capture a key, which it can no longer receive, and the player has gone back to a game
    // where the shortcuts must work.
    virtual void set_window_focus(bool focused) = 0;
};

class Engine;

// A running pipeline thread. The thread holds the other reference to the stop flag and polls it. Dropping a
// handle that was not stopped leaves its thread running, detached.
struct PipelineHandle {
    StopFlag stop;
    std::thread thread;

    PipelineHandle(StopFlag stop_flag, std::thread running);
    PipelineHandle(PipelineHandle&&) noexcept = default;
    PipelineHandle& operator=(PipelineHandle&& other) noexcept;
    ~PipelineHandle();
};

// What the video thread owns: its capture record, and the engine it reports errors to.
struct VideoThreadParams : VideoCapture {
    std::weak_ptr<Engine> engine;
};

// What the audio thread owns.
struct AudioThreadParams {
    StopFlag stop;
    std::optional<std::string> output_device;
    std::optional<std::string> mic_device;
    bool game_audio { true };
    bool mic_audio { true };
    std::shared_ptr<shared::Shared> shared;
};

// The bodies of the pipeline threads. The start-up builder plugs in the capture and audio threads; an empty
// body means that pipeline cannot start (its slot stays empty, so a later start tries again).
struct PipelineBodies {
    std::function<void(VideoThreadParams)> video;
    std::function<void(AudioThreadParams)> audio;
    // Once both pipelines and the buffers are gone: hands the freed memory back to the system.
    std::function<void()> release_memory {};
};

// What the hotkeys and the API ask of the recording and the saver. Filled by the start-up builder.
struct Actions {
    std::function<void(std::shared_ptr<Engine> const&)> toggle_recording;
    std::function<void(Engine&, std::uint32_t secs)> save_last_seconds;
};

// Everything the start-up builder hands to a new Engine.
struct EngineParts {
    channel::Sender<SaveRequest> save_requests;
    std::filesystem::path settings_path;
    std::shared_ptr<shared::Shared> shared;
    std::shared_ptr<foreground::ForegroundHistory> history;
    StopFlag games_stop;
    Notifier notifier;
    settings::Settings settings;
    std::filesystem::path clips_folder;
    std::shared_ptr<platform::Trash> trash;
    PipelineBodies bodies;
    Actions actions;
    // What is in front right now, for naming a span the history does not cover yet.
    std::function<foreground::ForegroundInfo()> detect_foreground;
};

// Trims and light copies write whole new files on page workers, which the process does not wait for when it
// ends. A job holds a pass while it writes; quit closes the gate and waits for the passes out, so that a
// copy is finished or never begun. Passes are taken on any thread; close and wait on the main thread.
class FileJobs {
public:
    using Pass = channel::Sender<bool>;
    FileJobs();
    // None once closed: the job is refused with closing_text.
    std::optional<Pass> enter() { return m_open.copy(); }
    void close() { m_open.set(std::nullopt); }
    // After close: returns once every pass is dropped, or at the deadline.
    void wait_until(std::chrono::steady_clock::time_point deadline) { (void)m_done.recv_until(deadline); }

private:
    threads::Locked<std::optional<Pass>> m_open;
    channel::Receiver<bool> m_done;
};

constexpr std::string_view closing_text = "quill.mar se ferme.";

// Always made with std::make_shared: the video thread and the engine's own threads hold weak references.
class Engine : public std::enable_shared_from_this<Engine> {
public:
    explicit Engine(EngineParts parts);
    ~Engine();
    Engine(Engine const&) = delete;
    Engine& operator=(Engine const&) = delete;

    channel::Sender<SaveRequest> const save_requests; // the saver owns the receiving end; sends never wait
    std::filesystem::path const settings_path;         // where the API's settings method saves
    std::shared_ptr<shared::Shared> const shared;
    std::shared_ptr<foreground::ForegroundHistory> const history;
    StopFlag const games_stop;                         // the games thread holds the other reference
    Notifier const notifier;
    threads::Locked<settings::Settings> settings;      // readers take a copy
    threads::Locked<std::shared_ptr<std::filesystem::path const>> clips_folder;
    threads::Locked<std::optional<PipelineHandle>, threads::LockRank::PipelineHandle> video_pipeline;
    threads::Locked<std::optional<PipelineHandle>, threads::LockRank::PipelineHandle> audio_pipeline;
    // A recording runs exactly while this is filled.
    threads::Locked<std::optional<RecordingSlot>, threads::LockRank::Recording> recording;
    library::PendingList pending_deletions;
    threads::Locked<std::shared_ptr<Shortcuts>> hotkeys; // set once by the start-up builder
    threads::RankedMutex pipeline_lock { threads::LockRank::Pipeline };
    // Held through a whole change of the settings (save, autostart, restarts), so that two changes sent
    // back to back never leave memory and settings.json disagreeing.
    threads::RankedMutex settings_change { threads::LockRank::SettingsChange };
    // Number of callers that need the pipelines kept running while they start a recording. A counter, so
    // that overlapping starts do not clear each other's claim.
    std::atomic<std::uint32_t> busy { 0 };
    std::atomic<bool> quit { false }; // set once by the quit path; never cleared
    // The start-up's threads that end on their own once quit (or games_stop) is set; shut_down joins them.
    threads::Locked<std::vector<std::thread>> joined_at_quit;
    FileJobs file_jobs;

    std::shared_ptr<platform::Trash> const trash;
    PipelineBodies const bodies;
    Actions const actions;
    std::function<foreground::ForegroundInfo()> const detect_foreground;
    // Held through a whole recording start, so that a second press waits for the first.
    threads::RankedMutex recording_start { threads::LockRank::RecordingStart };

    // A copy of the settings in force.
    settings::Settings settings_copy() const { return settings.copy(); }
    // The clips folder in force.
    std::filesystem::path clips_dir() const;
    void notify(PageEvent event) const;
    // The name of what was in front most over [start, end].
    std::string game_between(Ticks start, Ticks end) const;
};

// Keeps the pipelines running while held: the gate never stops them while a BusyGuard exists. A recording
// start holds one from before it looks at the pipeline until its slot is filled.
class BusyGuard {
public:
    explicit BusyGuard(Engine& engine);
    ~BusyGuard();
    BusyGuard(BusyGuard const&) = delete;
    BusyGuard& operator=(BusyGuard const&) = delete;

private:
    Engine& m_engine;
};

// -- Ring budget ---------------------------------------------------------------------------------------------

struct RingBudget {
    std::uint32_t secs { 30 };       // the longest save slot (30 without slots)
    std::uint32_t bitrate { 0 };     // estimated video bit rate, bit/s
    std::uint64_t byte_limit { 0 };  // for each ring
};

// Twice the bytes of (longest slot + 2 s) of video at the estimated bit rate plus 192 kbit/s of audio, taken
// down to an even number. The estimate is the encoder's rate at 2160p, whatever the resolution setting.
// Used by the start-up builder, the video spawner and the API.
RingBudget ring_budget(settings::Settings const& settings);
std::uint32_t estimated_bitrate(Codec codec, std::uint32_t fps, settings::Quality quality);
// shared::set_ring_window with the budget of these settings.
void apply_ring_budget(shared::Shared& shared, settings::Settings const& settings);

// -- Pipelines (callers hold the pipeline lock) -----------------------------------------------------------

// Starts both pipelines unless a video pipeline is already there.
void start_pipeline(Engine& engine, settings::Settings const& settings);
// Closes the current video segment, applies the ring budget and starts the video thread.
void spawn_video_pipeline(Engine& engine, settings::Settings const& settings);
// Starts the audio thread, unless both sound sources are off.
void spawn_audio_pipeline(Engine& engine, settings::Settings const& settings);
// Takes the handle out, sets its stop flag and waits for its thread.
void stop_video_pipeline(Engine& engine);
void stop_audio_pipeline(Engine& engine);
bool video_pipeline_running(Engine& engine);
// What the gate does when capture is no longer wanted: stops both pipelines, empties the buffers and gives
// the freed memory back.
void stop_pipelines(Engine& engine);

enum class Restart { No, Yes };
struct Restarts {
    Restart video { Restart::No };
    Restart audio { Restart::No };
};
// Takes the pipeline lock and, when a video pipeline runs, restarts the pipelines asked for with these
// settings. Without one nothing starts: the gate starts both later with the settings in force.
void restart_pipelines(Engine& engine, settings::Settings const& settings, Restarts restarts);

// Under the pipeline lock: starts the pipelines when no video pipeline runs. For a recording start, which
// holds a BusyGuard around this and until its slot is filled.
void ensure_pipeline(Engine& engine, settings::Settings const& settings);

// -- Gate ------------------------------------------------------------------------------------------------------

// A game in front within the last 120 s (120 s included) wants capture.
constexpr Ticks game_grace_ticks = 120 * ticks::ticks_per_second;
bool game_recent(Ticks newest_game, Ticks now);

struct GateInputs {
    bool capture_desktop { false };
    bool busy { false };
    bool recording { false };
    std::optional<Ticks> newest_game;
};
// The clock is read only when the history holds a game.
bool capture_wanted(GateInputs const& inputs, std::function<Ticks()> const& now = ticks::now);

enum class Cycle { Continue, End };

// Taken without the pipeline lock: the settings in force and whether capture is wanted.
struct GateDecision {
    settings::Settings settings;
    bool wanted { false };
};
GateDecision gate_decide(Engine& engine);
// Under the pipeline lock: starts the pipelines when capture is wanted and none runs; stops them and empties
// the buffers when it is not wanted, one runs, and no recording start or recording claimed them since the
// decision. End (nothing started) once quit is set.
Cycle gate_act(Engine& engine, GateDecision const& decision);
// One cycle: decide, then act.
Cycle gate_cycle(Engine& engine);
// Thread body of "quillmar-gate": a cycle every second until the Engine is gone or quit is set.
void gate_thread_main(std::weak_ptr<Engine> engine);

// -- Recording, trash, hotkeys ---------------------------------------------------------------------------

// Returns once the recording slot is empty, or after max_checks pauses (600 x 50 ms).
void wait_recording_finished(Engine& engine, int max_checks = 600,
                             std::chrono::milliseconds pause = std::chrono::milliseconds(50));

// Sends every pending deletion that is due (all of them with Force::Yes) to the trash; each failure reaches
// the page as an error.
void purge_deleted(Engine& engine, library::Force force);
// Applies the retention limits of the settings in force, leaving alone the pending deletions and the
// recording in progress; the removed ids reach the page in one event.
void apply_retention(Engine& engine);

struct TrashState {
    std::optional<std::chrono::steady_clock::time_point> last_retention;
};
constexpr std::chrono::seconds retention_interval { 600 };
// One cycle of the trash thread: purge what is due, and run retention when it never ran or 600 s passed.
Cycle trash_cycle(Engine& engine, TrashState& state,
                  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
// Thread body of "quillmar-trash": a cycle every second until the Engine is gone or quit is set.
void trash_thread_main(std::weak_ptr<Engine> engine);

// The hotkeys thread's callback: Record toggles the recording, Save saves the last `arg` seconds.
void hotkey_action(std::weak_ptr<Engine> const& engine, HotkeyKind kind, std::uint32_t arg);

// Quit sequence: returns once every save queued so far is written, or after `bound`. The pipelines must still
// run, since a queued save cuts the rings and waits for its thumbnail.
constexpr std::chrono::seconds quit_save_bound { 15 };
void finish_saves(Engine& engine, std::chrono::milliseconds bound = quit_save_bound);

// The engine's part of quitting, on the main thread: sets the quit flag, sends every pending deletion to the
// trash, lets a recording start already under way finish and then stops the recording, waits for the queued
// saves and the trims and light copies under way (together at most 15 s) and the recording's file, stops
// both pipelines, and joins the threads of joined_at_quit (each ends within its next turn, about a second).
void shut_down(std::shared_ptr<Engine> const& engine);

}
