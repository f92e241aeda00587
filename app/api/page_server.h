#pragma once
// The page server: every request of the private scheme (page files, clip bytes, thumbnails, API calls)
// becomes a PageJob on one unbounded queue, served by four long-lived workers "quillmar-page-0".."-3".
//
// Threads: queue_page_request runs on the main thread and only copies and queues. Workers take one job
// at a time under the queue's mutex and run it outside it, so up to four jobs run at once; they start in
// queue order and may finish in any order. Every job is answered exactly once: a job that throws is
// answered 500 (its worker lives on), and a job dropped unanswered, because no worker took it, answers
// 503 from its responder's destructor.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/api/api.h"
#include "base/channel.h"
#include "library/library.h"
#include "platform/page_scheme.h"

namespace engine {
class Engine;
}
namespace shell {
class EventProxy;
}

namespace api {

// The handle the shell gives the page server; API methods reach the engine only through it.
// Built in place (std::make_shared<App>(engine, platform)): the cache's lock cannot move.
struct App {
    std::shared_ptr<engine::Engine> engine;
    Platform platform {}; // the desktop drivers the API methods use
    threads::Locked<std::optional<CapsCache>> caps_cache {};
};

using PageRequest = platform::PageRequest;
using PageResponse = platform::PageResponse;

// The one-shot answer of one request. Knows no transport: it calls the function it wraps once. Destroyed
// without an answer, it answers 503 itself, so no request is left hanging.
class Responder {
public:
    Responder() = default;
    explicit Responder(platform::PageFinisher finish)
        : m_finish(std::move(finish))
    {
    }
    Responder(Responder&& other) noexcept = default;
    Responder& operator=(Responder&& other) noexcept;
    Responder(Responder const&) = delete;
    Responder& operator=(Responder const&) = delete;
    ~Responder();

    // Later calls do nothing.
    void respond(PageResponse response);
    bool answered() const { return !m_finish; }

private:
    platform::PageFinisher m_finish;
};

struct PageJob {
    std::shared_ptr<shell::EventProxy> proxy; // window commands of the API go through it
    PageRequest request;
    Responder responder;
    std::shared_ptr<App> app;
};

// What a worker does with a job; handle_request in the program.
using PageServe = std::function<void(PageJob&)>;

// The receiving end of the queue, shared by the workers; held only while waiting for one job.
struct SharedJobReceiver {
    std::mutex mutex;
    channel::Receiver<PageJob> receiver;
};

inline constexpr int page_worker_count = 4;

// Creates the queue and starts the workers; returns the sending end. A worker that cannot start leaves a
// crash record and fails the whole call (the page would be served by fewer workers, or by none, with no
// word): the workers already started end as the queue closes.
Result<channel::Sender<PageJob>> spawn_page_workers(PageServe serve = {},
                                                    threads::Spawner const& start = threads::spawn_thread);

// The scheme handler's state: one per view, each with its own clones.
struct PageHandler {
    std::shared_ptr<shell::EventProxy> proxy;
    channel::Sender<PageJob> jobs;
    std::shared_ptr<App> app;
};

// Main thread: wraps the request and its answer into a job and queues it; never waits.
void queue_page_request(PageHandler const& handler, PageRequest request, Responder responder);

// The scheme handler of a view: each request goes through queue_page_request.
platform::PageSchemeHandler scheme_handler(PageHandler handler);

// The body of each worker: runs jobs until the queue is closed and empty.
void page_worker_main(std::shared_ptr<SharedJobReceiver> jobs, PageServe serve);

// Runs one job, answering 500 (and appending a crash record) when it throws.
void run_page_job(PageJob& job, PageServe const& serve);

// Builds the one answer of the job and gives it to its responder.
void handle_request(PageJob& job);
// The answer alone (what handle_request sends).
PageResponse build_response(PageJob& job);

// The id in the tail of a /clip/ or /thumb/ path: "%XX" decoded, "+" kept, invalid UTF-8 replaced by U+FFFD.
std::string percent_decode(std::string_view tail);

// JSON text with invalid UTF-8 replaced by U+FFFD, so that a name with any bytes never fails a reply.
std::string json_text(nlohmann::json const& value);
PageResponse json_response(nlohmann::json const& value);
PageResponse not_found_response();

// The window [first, last] of a clip of `size` bytes for a Range header value (nothing when it counts as
// absent), or nothing when unsatisfiable.
struct ByteWindow {
    std::uint64_t first { 0 };
    std::uint64_t last { 0 };
};
inline constexpr std::uint64_t clip_window_bytes = 4 * 1024 * 1024;
std::optional<ByteWindow> clip_window(std::optional<std::string_view> range, std::uint64_t size);

// Thumbnails larger than this are not served: a JPEG of 400 x 225 pixels is far smaller.
inline constexpr std::uint64_t thumb_max_bytes = library::thumb_max_bytes;

// One entry of the page files compiled into the program.
struct StaticAsset {
    std::string_view path;
    std::string_view content_type;
    std::span<std::uint8_t const> body;
};
// The page files that exist in this build, in table order.
std::span<StaticAsset const> static_assets();

}
