#pragma once
// What is in front of the player, and which game a span of time belongs to.
//
// The games thread ("quillmar-games") owns its ForegroundProbe, looks at the window in front once a second
// and appends the answer to the shared ForegroundHistory, which keeps 25 minutes. The gate thread reads the
// newest game sample to decide whether capture is wanted; the saver and the recording start name a span
// with game_between. The history is shared by reference counting between the Engine and the games thread;
// its lock is a leaf, held only to append, trim, copy or scan.
//
// Everything here except foreground_thread is callable from any thread; the rules are pure functions.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/result.h"
#include "base/threads.h"
#include "platform/foreground.h"

namespace foreground {

enum class ForegroundKind : std::uint8_t { Desktop = 0, App = 1, Game = 2 };

struct ForegroundInfo {
    std::string name;
    ForegroundKind kind { ForegroundKind::Desktop };
    bool operator==(ForegroundInfo const&) const = default;
};

struct ForegroundSample {
    std::int64_t time { 0 }; // engine ticks (100 ns)
    std::string name;
    ForegroundKind kind { ForegroundKind::Desktop };
    bool operator==(ForegroundSample const&) const = default;
};

// Oldest first. After every append, no sample is more than history_span_ticks older than the newest.
using ForegroundHistory = threads::Locked<std::deque<ForegroundSample>>;

using ticks::ticks_per_second;
constexpr std::int64_t history_span_ticks = 1'500 * ticks_per_second;
constexpr std::string_view desktop_name = "Bureau";

// {"Bureau", Desktop}.
ForegroundInfo desktop_entry();

// A window title reduced to the name of what it shows: trademark signs and asterisks dropped, cut before the
// first separator (" (", " - ", " | ", " — ", " – ", " : "), trailing version words dropped while two words
// remain, white space collapsed. May be empty.
std::string clean_title(std::string_view title);

// A readable name from a lower-cased executable stem: build suffixes cut, "-", "." and "_" become spaces,
// each word capitalised. "Bureau" when nothing is left.
std::string clean_exe_name(std::string_view stem);

// The lower-cased stem of an executable file name: a final ".exe" or ".EXE" removed, then one native launcher
// suffix (".x86_64", ".x86", ".bin", ".sh", ".appimage") removed when something remains before it.
std::string exe_stem(std::string_view exe_name);

// The detection rules applied to one window. Nothing in front is the desktop.
ForegroundInfo classify_window(std::optional<platform::WindowInfo> const& window);

// One look at the window in front through the caller's probe.
ForegroundInfo detect_foreground_game(platform::ForegroundProbe& probe);

// Opens the first driver that opens, looks once and closes it again: for a thread that has no probe of its
// own (the saver naming a span the history does not cover). The desktop when no driver opens.
ForegroundInfo detect_once(std::span<platform::ForegroundDriver const> drivers);

// Appends a sample, then drops samples from the front while they are more than history_span_ticks older
// than the new one.
void append_sample(ForegroundHistory& history, ForegroundSample sample);

// Time of the newest game sample anywhere in the history (an app or the desktop in front since then does not
// hide it); nothing when the history holds no game.
std::optional<std::int64_t> newest_game_time(ForegroundHistory const& history);

// The name of what was in front during [start, end]: the pair (name, kind) with the highest kind, then the
// most samples, then the latest last sample; a full tie keeps the one seen first. With no sample in the span,
// the name of detect_now() (what is in front now).
std::string game_between(ForegroundHistory const& history, std::int64_t start, std::int64_t end,
                         std::function<ForegroundInfo()> const& detect_now);

using ProbeOpener = std::function<Result<std::unique_ptr<platform::ForegroundProbe>>()>;

// Tries the drivers in order; the error of the last one when none opens.
ProbeOpener opener_from(std::span<platform::ForegroundDriver const> drivers);

// Time for the games thread: the engine clock and the pause between two looks. Tests script both.
struct Pacing {
    std::function<std::int64_t()> now;
    std::function<void()> sleep;
};

// The engine clock (CLOCK_MONOTONIC in 100 ns ticks) and a 1 s sleep.
Pacing real_pacing();

// Body of the "quillmar-games" thread: until the stop flag is set (tested before the first look and after
// every sleep), looks at the window in front and appends the answer to the history, once per sleep. The probe
// is opened on this thread; while it cannot be opened, the desktop is recorded and opening is tried again at
// the next look. Never fails.
void foreground_thread(std::shared_ptr<ForegroundHistory> history, std::shared_ptr<std::atomic<bool>> stop,
                       ProbeOpener open_probe, Pacing pacing = real_pacing());

}
