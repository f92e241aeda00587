#include "engine/engine.h"

#include <algorithm>
#include <limits>

#include "engine/saver.h"
#include "engine/video.h"
#include "platform/trash.h"

namespace engine {

using namespace std::chrono_literals;

Engine::Engine(EngineParts parts)
    : save_requests(std::move(parts.save_requests))
    , settings_path(std::move(parts.settings_path))
    , shared(std::move(parts.shared))
    , history(std::move(parts.history))
    , games_stop(std::move(parts.games_stop))
    , notifier(std::move(parts.notifier))
    , settings(std::move(parts.settings))
    , clips_folder(std::make_shared<std::filesystem::path const>(std::move(parts.clips_folder)))
    , trash(std::move(parts.trash))
    , bodies(std::move(parts.bodies))
    , actions(std::move(parts.actions))
    , detect_foreground(std::move(parts.detect_foreground))
{
}

Engine::~Engine()
{
    // Dropped without a quit (tests; the last reference may even be one of these threads' own turn): what
    // was not joined ends on its own, as it finds the engine gone.
    joined_at_quit.with([](std::vector<std::thread>& list) {
        for (auto& thread : list)
            thread.detach();
    });
}

std::string Engine::game_between(Ticks start, Ticks end) const
{
    auto detect = detect_foreground ? detect_foreground : [] { return foreground::desktop_entry(); };
    return foreground::game_between(*history, start, end, detect);
}

std::filesystem::path Engine::clips_dir() const
{
    auto folder = clips_folder.copy();
    return folder ? *folder : std::filesystem::path {};
}

void Engine::notify(PageEvent event) const
{
    if (notifier)
        notifier(std::move(event));
}

FileJobs::FileJobs()
{
    auto [pass, done] = channel::make<bool>();
    m_open.set(std::move(pass));
    m_done = std::move(done);
}

BusyGuard::BusyGuard(Engine& engine)
    : m_engine(engine)
{
    m_engine.busy.fetch_add(1);
}

BusyGuard::~BusyGuard() { m_engine.busy.fetch_sub(1); }

PipelineHandle::PipelineHandle(StopFlag stop_flag, std::thread running)
    : stop(std::move(stop_flag))
    , thread(std::move(running))
{
}

PipelineHandle& PipelineHandle::operator=(PipelineHandle&& other) noexcept
{
    if (this != &other) {
        if (thread.joinable())
            thread.detach();
        stop = std::move(other.stop);
        thread = std::move(other.thread);
    }
    return *this;
}

PipelineHandle::~PipelineHandle()
{
    if (thread.joinable())
        thread.detach();
}

// -- Ring budget ---------------------------------------------------------------------------------------------

std::uint32_t estimated_bitrate(Codec codec, std::uint32_t fps, settings::Quality quality)
{
    return video::encoder_bitrate(3840, 2160, fps, quality, video::codec_factor(codec));
}

RingBudget ring_budget(settings::Settings const& settings)
{
    RingBudget budget;
    if (!settings.slots.empty()) {
        budget.secs = 0;
        for (auto const& slot : settings.slots)
            budget.secs = std::max(budget.secs, slot.secs);
    }
    budget.bitrate = estimated_bitrate(settings.codec, settings.fps, settings.quality);
    std::uint64_t bytes = (std::uint64_t { budget.secs } + 2) * (std::uint64_t { budget.bitrate } + 192'000);
    budget.byte_limit = (bytes >> 2) & ~std::uint64_t { 1 };
    return budget;
}

void apply_ring_budget(shared::Shared& shared, settings::Settings const& settings)
{
    auto budget = ring_budget(settings);
    shared::set_ring_window(shared, budget.secs, budget.byte_limit);
}

// -- Pipelines -----------------------------------------------------------------------------------------------

namespace {

using Slot = std::optional<PipelineHandle>;

template <class Params>
void spawn_into(threads::Locked<Slot, threads::LockRank::PipelineHandle>& slot, char const* name,
                std::function<void(Params)> const& body, Params params)
{
    if (!body)
        return;
    auto stop = params.stop;
    auto thread = threads::spawn_thread(name, [body, params = std::move(params)] { body(params); });
    // A thread the system refused leaves the slot as it was, so that a later start tries again.
    if (!thread)
        return;
    Slot previous;
    slot.with([&](Slot& current) { previous = std::exchange(current, PipelineHandle(std::move(stop), std::move(*thread))); });
    // A handle still there is dropped without being stopped: its thread keeps running, detached.
}

void stop_slot(threads::Locked<Slot, threads::LockRank::PipelineHandle>& slot)
{
    auto handle = slot.with([](Slot& current) { return std::exchange(current, std::nullopt); });
    if (!handle)
        return;
    handle->stop->store(true);
    if (handle->thread.joinable())
        handle->thread.join();
}

}

bool video_pipeline_running(Engine& engine)
{
    return engine.video_pipeline.with([](Slot const& slot) { return slot.has_value(); });
}

void start_pipeline(Engine& engine, settings::Settings const& settings)
{
    if (video_pipeline_running(engine))
        return;
    spawn_video_pipeline(engine, settings);
    spawn_audio_pipeline(engine, settings);
}

void spawn_video_pipeline(Engine& engine, settings::Settings const& settings)
{
    shared::new_segment(*engine.shared);
    apply_ring_budget(*engine.shared, settings);
    VideoThreadParams params {
        {
            std::make_shared<std::atomic<bool>>(false),
            settings.monitor,
            settings.fps,
            settings.codec,
            settings.quality,
            settings.resolution,
            engine.shared,
        },
        engine.weak_from_this(),
    };
    spawn_into(engine.video_pipeline, "quillmar-video", engine.bodies.video, std::move(params));
}

void spawn_audio_pipeline(Engine& engine, settings::Settings const& settings)
{
    if (!settings.game_audio && !settings.mic_audio)
        return;
    AudioThreadParams params {
        std::make_shared<std::atomic<bool>>(false),
        settings.output_device,
        settings.mic_device,
        settings.game_audio,
        settings.mic_audio,
        engine.shared,
    };
    spawn_into(engine.audio_pipeline, "quillmar-audio", engine.bodies.audio, std::move(params));
}

void stop_video_pipeline(Engine& engine) { stop_slot(engine.video_pipeline); }

void stop_audio_pipeline(Engine& engine) { stop_slot(engine.audio_pipeline); }

void stop_pipelines(Engine& engine)
{
    stop_video_pipeline(engine);
    stop_audio_pipeline(engine);
    shared::clear_buffers(*engine.shared);
    if (engine.bodies.release_memory)
        engine.bodies.release_memory();
}

void ensure_pipeline(Engine& engine, settings::Settings const& settings)
{
    auto guard = engine.pipeline_lock.lock();
    if (engine.quit.load())
        return;
    start_pipeline(engine, settings);
}

// -- Gate ------------------------------------------------------------------------------------------------------

bool game_recent(Ticks newest_game, Ticks now) { return now - newest_game < game_grace_ticks + 1; }

bool capture_wanted(GateInputs const& inputs, std::function<Ticks()> const& now)
{
    if (inputs.capture_desktop || inputs.busy || inputs.recording)
        return true;
    if (!inputs.newest_game)
        return false;
    return game_recent(*inputs.newest_game, now());
}

namespace {

bool recording_runs(Engine& engine)
{
    return engine.recording.with([](std::optional<RecordingSlot> const& slot) { return slot.has_value(); });
}

}

GateDecision gate_decide(Engine& engine)
{
    GateDecision decision { engine.settings_copy(), false };
    // Tested in this order; the first that holds decides, and the history is looked at last.
    GateInputs inputs;
    inputs.capture_desktop = decision.settings.capture_desktop;
    inputs.busy = engine.busy.load() > 0;
    inputs.recording = !inputs.capture_desktop && !inputs.busy && recording_runs(engine);
    if (!inputs.capture_desktop && !inputs.busy && !inputs.recording && engine.history)
        inputs.newest_game = foreground::newest_game_time(*engine.history);
    decision.wanted = capture_wanted(inputs);
    return decision;
}

Cycle gate_act(Engine& engine, GateDecision const& decision)
{
    auto guard = engine.pipeline_lock.lock();
    // The decision was taken without the pipeline lock: quit, a recording start and its slot may have
    // changed since, so they are read again before anything is started or stopped.
    if (engine.quit.load())
        return Cycle::End;
    bool has_video = video_pipeline_running(engine);
    if (decision.wanted && !has_video) {
        start_pipeline(engine, decision.settings);
    } else if (!decision.wanted && has_video) {
        if (engine.busy.load() > 0 || recording_runs(engine))
            return Cycle::Continue;
        stop_pipelines(engine);
    }
    return Cycle::Continue;
}

Cycle gate_cycle(Engine& engine)
{
    if (engine.quit.load())
        return Cycle::End;
    return gate_act(engine, gate_decide(engine));
}

void gate_thread_main(std::weak_ptr<Engine> weak)
{
    for (;;) {
        std::this_thread::sleep_for(1s);
        auto engine = weak.lock();
        if (!engine || gate_cycle(*engine) == Cycle::End)
            return;
    }
}

// -- Recording, trash, hotkeys ---------------------------------------------------------------------------

void wait_recording_finished(Engine& engine, int max_checks, std::chrono::milliseconds pause)
{
    for (int check = 0; check < max_checks; ++check) {
        if (!recording_runs(engine))
            return;
        std::this_thread::sleep_for(pause);
    }
}

void purge_deleted(Engine& engine, library::Force force)
{
    if (!engine.trash)
        return;
    auto errors = library::purge_deleted(engine.pending_deletions, *engine.trash, force,
                                         std::chrono::steady_clock::now());
    for (auto& text : errors)
        engine.notify(PageEvent { PageEvent::Error { std::move(text) } });
}

void apply_retention(Engine& engine)
{
    if (!engine.trash)
        return;
    auto settings = engine.settings_copy();
    if (settings.keep_days == 0 && settings.max_gb == 0)
        return;
    auto folder = engine.clips_dir();
    auto leave_alone = library::pending_ids(engine.pending_deletions, folder);
    engine.recording.with([&](std::optional<RecordingSlot> const& slot) {
        if (slot && !slot->clip_id.empty())
            leave_alone.push_back(slot->clip_id);
    });
    auto removed = library::apply_retention(*engine.trash, folder,
                                            library::RetentionLimits { settings.keep_days, settings.max_gb },
                                            leave_alone, std::chrono::system_clock::now());
    if (!removed.empty())
        engine.notify(PageEvent { PageEvent::Removed { std::move(removed) } });
}

Cycle trash_cycle(Engine& engine, TrashState& state, std::chrono::steady_clock::time_point now)
{
    if (engine.quit.load())
        return Cycle::End;
    purge_deleted(engine, library::Force::No);
    if (!state.last_retention || now - *state.last_retention >= retention_interval) {
        state.last_retention = now;
        apply_retention(engine);
    }
    return Cycle::Continue;
}

void trash_thread_main(std::weak_ptr<Engine> weak)
{
    TrashState state;
    for (;;) {
        std::this_thread::sleep_for(1s);
        auto engine = weak.lock();
        if (!engine || trash_cycle(*engine, state) == Cycle::End)
            return;
    }
}

void hotkey_action(std::weak_ptr<Engine> const& weak, HotkeyKind kind, std::uint32_t arg)
{
    auto engine = weak.lock();
    // Once quitting, a key press must not start a recording or a save that nothing would finish.
    if (!engine || engine->quit.load())
        return;
    if (kind == HotkeyKind::Record) {
        if (engine->actions.toggle_recording)
            engine->actions.toggle_recording(engine);
    } else if (engine->actions.save_last_seconds) {
        engine->actions.save_last_seconds(*engine, arg);
    }
}

void restart_pipelines(Engine& engine, settings::Settings const& settings, Restarts restarts)
{
    auto lock = engine.pipeline_lock.lock();
    if (!video_pipeline_running(engine))
        return;
    if (restarts.video == Restart::Yes) {
        stop_video_pipeline(engine);
        spawn_video_pipeline(engine, settings);
    }
    if (restarts.audio == Restart::Yes) {
        stop_audio_pipeline(engine);
        spawn_audio_pipeline(engine, settings);
    }
}

void finish_saves(Engine& engine, std::chrono::milliseconds bound)
{
    auto [done_tx, done_rx] = channel::make<bool>();
    SaveRequest marker;
    marker.drained = std::move(done_tx);
    // A saver that ended drops the marker, which closes the channel: nothing is left to wait for.
    if (engine.save_requests.send(std::move(marker)))
        (void)done_rx.recv_for(bound);
}

void shut_down(std::shared_ptr<Engine> const& engine)
{
    auto& e = *engine;
    auto const deadline = std::chrono::steady_clock::now() + quit_save_bound;
    e.quit.store(true);
    e.file_jobs.close();
    purge_deleted(e, library::Force::Yes);
    // A recording start already past its quit check finishes first, so that its recording is seen and
    // stopped below instead of being cut off by the exit; a later start sees the quit flag and stays off.
    { auto start_lock = e.recording_start.lock(); }
    if (e.recording.with([](auto const& slot) { return slot.has_value(); }) && e.actions.toggle_recording)
        e.actions.toggle_recording(engine);
    // The saves cut the rings and wait for a thumbnail from the capture loop: the pipelines still run.
    finish_saves(e);
    e.file_jobs.wait_until(deadline);
    wait_recording_finished(e);
    {
        auto lock = e.pipeline_lock.lock();
        stop_video_pipeline(e);
        stop_audio_pipeline(e);
    }
    // Outside the pipeline lock, which the gate thread takes on its last turn. Joined, a purge or retention
    // pass of the trash thread is never cut off by the exit.
    e.games_stop->store(true);
    auto own = e.joined_at_quit.with([](std::vector<std::thread>& list) { return std::exchange(list, {}); });
    for (auto& thread : own)
        thread.join();
}

}
