#pragma once
// Long-lived threads and the locks they share.
//
// spawn_thread starts a named thread whose body can never take the process down with an exception: what
// escapes is appended to crash.log as one record and only that thread ends. Linux thread names hold 15
// bytes, so the OS name is truncated while the full name ("quillmar-encoder") stays in the crash record.
// A thread that cannot be started is reported as an error so that the caller can skip it.
//
// Locked<T, rank> is the only way to reach shared data: the lock order lives in its type. A thread may take
// a lock only while every lock it already holds ranks lower; debug builds check this at every acquisition.

#include <filesystem>
#include <functional>
#include <mutex>
#include <source_location>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "base/result.h"

namespace threads {

// Where crash records go; set once at start-up, before any thread is spawned. Empty: records are dropped.
void set_crash_log(std::filesystem::path path);
std::filesystem::path crash_log();

// Appends one record: "panicked at {file}:{line}:{column}:\n{message}\n" (the message part only when
// there is one). Open, one write, close; every failure is ignored.
void append_crash_record(std::source_location const& where, std::string_view message);

// Names the calling thread for the OS (truncated to 15 bytes on a character boundary); never fails.
void set_current_name(std::string_view name);
// The OS form of a name: at most 15 bytes, cut on a UTF-8 character boundary.
std::string os_thread_name(std::string_view name);

// Starts `body` on a new thread named `name`. Exceptions escaping `body` are recorded in crash.log under
// the full name. The error is the system's text when the thread could not start.
Result<std::thread> spawn_thread(std::string name, std::function<void()> body,
                                 std::source_location where = std::source_location::current());
// How a caller starts its threads: spawn_thread in the program, a stand-in that refuses some names in tests.
using Spawner = std::function<Result<std::thread>(std::string name, std::function<void()> body, std::source_location where)>;
// Starts a thread the program cannot do without. When it cannot start, a crash record names it and the error
// is the player's text "Démarrage impossible : le fil {name} n'a pas démarré ({reason})".
Result<std::thread> start_needed(Spawner const& spawn, std::string name, std::function<void()> body,
                                 std::source_location where = std::source_location::current());
// The same, detached: for threads that the engine never joins.
Result<void> spawn_detached(std::string name, std::function<void()> body,
                            std::source_location where = std::source_location::current());

// RecordingStart serialises recording starts and is held across the start's file work; it is taken after
// the pipeline lock has been released and before the recording slot. SettingsChange serialises whole
// changes of the settings, which save the file and restart pipelines: it comes before everything else.
enum class LockRank { SettingsChange = 1, Pipeline = 2, PipelineHandle = 3, RecordingStart = 4, Recording = 5, Leaf = 6 };

// Checks the lock order on the calling thread (debug builds abort on a violation).
class RankScope {
public:
    explicit RankScope(LockRank rank);
    ~RankScope();
    RankScope(RankScope const&) = delete;
    RankScope& operator=(RankScope const&) = delete;

private:
    int m_previous;
};

template <class T, LockRank rank = LockRank::Leaf> class Locked {
public:
    Locked() = default;
    explicit Locked(T value)
        : m_value(std::move(value))
    {
    }

    // Copy or swap a few fields; nothing slow (no I/O, join, sleep or blocking send) inside.
    template <class F> decltype(auto) with(F&& f)
    {
        RankScope order(rank);
        std::lock_guard lock(m_mutex);
        return std::forward<F>(f)(m_value);
    }
    template <class F> decltype(auto) with(F&& f) const
    {
        RankScope order(rank);
        std::lock_guard lock(m_mutex);
        return std::forward<F>(f)(m_value);
    }
    T copy() const
    {
        return with([](T const& value) { return value; });
    }
    void set(T value)
    {
        with([&](T& current) { current = std::move(value); });
    }

private:
    mutable std::mutex m_mutex;
    T m_value {};
};

// The pipeline lock is held across spawns and joins, so it is a plain rank-checked mutex.
class RankedMutex {
public:
    explicit RankedMutex(LockRank rank)
        : m_rank(rank)
    {
    }
    class Guard {
    public:
        explicit Guard(RankedMutex& mutex)
            : m_scope(mutex.m_rank)
            , m_lock(mutex.m_mutex)
        {
        }

    private:
        RankScope m_scope;
        std::unique_lock<std::mutex> m_lock;
    };
    Guard lock() { return Guard(*this); }

private:
    LockRank m_rank;
    std::mutex m_mutex;
};

}
