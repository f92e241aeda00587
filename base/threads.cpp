#include "base/threads.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <unistd.h>

#include "base/utf8.h"

namespace threads {

namespace {

std::mutex g_crash_mutex;
std::filesystem::path g_crash_log;

thread_local int t_held_rank = 0;

}

void set_crash_log(std::filesystem::path path)
{
    std::lock_guard lock(g_crash_mutex);
    g_crash_log = std::move(path);
}

std::filesystem::path crash_log()
{
    std::lock_guard lock(g_crash_mutex);
    return g_crash_log;
}

void append_crash_record(std::source_location const& where, std::string_view message)
{
    auto path = crash_log();
    if (path.empty())
        return;
    std::string record = fmt::format("panicked at {}:{}:{}", where.file_name(), where.line(), where.column());
    if (!message.empty())
        record += fmt::format(":\n{}", message);
    record += '\n';
    // A link at the name is never followed: the record would land in (or create) whatever file it names.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return;
    [[maybe_unused]] auto written = ::write(fd, record.data(), record.size());
    ::close(fd);
}

std::string os_thread_name(std::string_view name)
{
    // The system keeps 15 bytes; no character is split.
    return std::string(utf8::cut_bytes(name, 15));
}

void set_current_name(std::string_view name)
{
    auto os_name = os_thread_name(name);
    pthread_setname_np(pthread_self(), os_name.c_str());
}

static void run_guarded(std::string const& name, std::function<void()> const& body, std::source_location where)
{
    set_current_name(name);
    try {
        body();
    } catch (std::exception const& error) {
        append_crash_record(where, fmt::format("{}: {}", name, error.what()));
    } catch (...) {
        append_crash_record(where, fmt::format("{}: exception inconnue", name));
    }
}

Result<std::thread> spawn_thread(std::string name, std::function<void()> body, std::source_location where)
{
    try {
        return std::thread([name = std::move(name), body = std::move(body), where] { run_guarded(name, body, where); });
    } catch (std::system_error const& error) {
        return fail(os_error(error.code().value()));
    }
}

Result<std::thread> start_needed(Spawner const& spawn, std::string name, std::function<void()> body,
                                 std::source_location where)
{
    auto thread = spawn(name, std::move(body), where);
    if (!thread) {
        append_crash_record(where, fmt::format("{}: {}", name, thread.error()));
        return fail(fmt::format("Démarrage impossible : le fil {} n'a pas démarré ({})", name, thread.error()));
    }
    return thread;
}

Result<void> spawn_detached(std::string name, std::function<void()> body, std::source_location where)
{
    auto thread = TRY(spawn_thread(std::move(name), std::move(body), where));
    thread.detach();
    return {};
}

RankScope::RankScope(LockRank rank)
    : m_previous(t_held_rank)
{
    // Equal ranks are allowed only for leaves taken one after another, never nested: a leaf held while
    // taking another leaf is the nesting this check exists to catch.
    assert(static_cast<int>(rank) > t_held_rank && "lock order violated");
    t_held_rank = static_cast<int>(rank);
}

RankScope::~RankScope() { t_held_rank = m_previous; }

}
