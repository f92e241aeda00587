#include "app/api/page_server.h"

#include <array>
#include <charconv>
#include <exception>
#include <source_location>

#include "app/api/api.h"
#include "app/main.h"
#include "base/file_io.h"
#include "base/utf8.h"
#include "engine/engine.h"
#include "library/library.h"
#include "base/threads.h"

namespace api {

// Bytes of a file under app/page/, compiled in by the build; nothing when the build had no such file.
std::optional<std::span<std::uint8_t const>> embedded_page_file(std::string_view name);

namespace {

constexpr std::string_view internal_error_text = "Erreur interne du programme.";
constexpr std::string_view content_security_policy
    = "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
      "media-src 'self' file:; font-src 'self'; connect-src 'self'";

std::vector<std::uint8_t> text_bytes(std::string_view text) { return { text.begin(), text.end() }; }

PageResponse plain_response(int status, std::string_view text)
{
    return { status, { { "Content-Type", "text/plain" } }, text_bytes(text) };
}

// The path of the URI, up to the first "?" or "#"; nothing when the URI has none.
std::optional<std::string_view> uri_path(std::string_view uri)
{
    if (!uri.starts_with('/')) {
        auto scheme_end = uri.find("://");
        if (scheme_end == std::string_view::npos)
            return std::nullopt;
        uri.remove_prefix(scheme_end + 3);
        auto authority_end = uri.find_first_of("/?#");
        if (authority_end == std::string_view::npos || uri[authority_end] != '/')
            return std::nullopt;
        uri.remove_prefix(authority_end);
    }
    return uri.substr(0, uri.find_first_of("?#"));
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string_view trim(std::string_view text)
{
    auto const first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// An unsigned 64-bit decimal with an optional leading "+"; nothing when empty, not a number or too big.
std::optional<std::uint64_t> read_u64(std::string_view text)
{
    if (text.starts_with('+'))
        text.remove_prefix(1);
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The Range value as a range request, or nothing when it counts as absent.
std::optional<std::string_view> first_range(std::optional<std::string_view> header)
{
    constexpr std::string_view unit = "bytes=";
    if (!header || header->size() < 6 || !header->starts_with(unit))
        return std::nullopt;
    for (char c : *header) {
        if ((c < 0x20 || c > 0x7e) && c != '\t')
            return std::nullopt;
    }
    auto wanted = header->substr(unit.size());
    wanted = wanted.substr(0, wanted.find(','));
    if (wanted.find('-') == std::string_view::npos)
        return std::nullopt;
    return wanted;
}

PageResponse static_response(StaticAsset const& asset)
{
    return { 200,
             { { "Content-Type", std::string(asset.content_type) },
               { "Cache-Control", "no-store" },
               { "Content-Security-Policy", std::string(content_security_policy) } },
             asset.body };
}

PageResponse unsatisfiable_response(std::uint64_t size)
{
    return { 416, { { "Content-Range", fmt::format("bytes */{}", size) } }, std::vector<std::uint8_t> {} };
}

struct OpenFile {
    files::Fd fd;
    std::uint64_t size { 0 };
};

// Only a regular file is opened, so a FIFO or a device swapped in under a clip's name never blocks a worker.
std::optional<OpenFile> open_served_file(std::optional<std::filesystem::path> const& path)
{
    if (!path)
        return std::nullopt;
    auto fd = files::open_regular(*path);
    if (!fd)
        return std::nullopt;
    auto size = files::file_size(fd->get());
    if (!size)
        return std::nullopt;
    return OpenFile { std::move(*fd), *size };
}

std::optional<std::vector<std::uint8_t>> read_window(OpenFile const& file, std::uint64_t first, std::uint64_t count)
{
    std::vector<std::uint8_t> bytes(count);
    if (!files::pread_exact(file.fd.get(), std::span<std::uint8_t>(bytes), first))
        return std::nullopt;
    return bytes;
}

PageResponse clip_bytes(App const& app, std::string const& id, std::optional<std::string_view> range)
{
    auto file = open_served_file(library::clip_path(app.engine->clips_dir(), id));
    if (!file)
        return not_found_response();
    auto window = clip_window(range, file->size);
    if (!window)
        return unsatisfiable_response(file->size);
    auto bytes = read_window(*file, window->first, window->last - window->first + 1);
    if (!bytes)
        return not_found_response();
    return { 206,
             { { "Content-Type", "video/mp4" },
               { "Accept-Ranges", "bytes" },
               { "Content-Length", fmt::format("{}", bytes->size()) },
               { "Content-Range", fmt::format("bytes {}-{}/{}", window->first, window->last, file->size) } },
             std::move(*bytes) };
}

PageResponse thumb_bytes(App const& app, std::string const& id)
{
    auto jpeg = library::read_thumbnail(app.engine->clips_dir(), id);
    if (!jpeg)
        return not_found_response();
    return { 200, { { "Content-Type", "image/jpeg" }, { "Cache-Control", "max-age=604800, immutable" } },
             std::vector<std::uint8_t>(jpeg->begin(), jpeg->end()) };
}

PageResponse api_call(PageJob& job, std::string_view method)
{
    auto const& body = job.request.body;
    auto params = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (params.is_discarded())
        params = nullptr;
    auto result = dispatch_api_method(*job.app, job, method, params);
    if (!result)
        return json_response(nlohmann::json { { "error", std::move(result).error() } });
    return json_response(*result);
}

bool is_api_path(PageRequest const& request)
{
    auto path = uri_path(request.uri);
    return path && path->starts_with("/api/");
}

}

Responder& Responder::operator=(Responder&& other) noexcept
{
    if (this != &other) {
        Responder dropped(std::move(*this));
        m_finish = std::move(other.m_finish);
    }
    return *this;
}

Responder::~Responder()
{
    if (m_finish)
        respond(plain_response(503, "Service indisponible."));
}

void Responder::respond(PageResponse response)
{
    if (!m_finish)
        return;
    auto finish = std::move(m_finish);
    m_finish = nullptr;
    finish(std::move(response));
}

std::string json_text(nlohmann::json const& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

PageResponse json_response(nlohmann::json const& value)
{
    return { 200, { { "Content-Type", "application/json" } }, text_bytes(json_text(value)) };
}

PageResponse not_found_response() { return plain_response(404, "introuvable"); }

std::string percent_decode(std::string_view tail)
{
    std::string bytes;
    bytes.reserve(tail.size());
    for (std::size_t i = 0; i < tail.size(); ++i) {
        if (tail[i] == '%' && i + 2 < tail.size()) {
            int high = hex_value(tail[i + 1]);
            int low = hex_value(tail[i + 2]);
            if (high >= 0 && low >= 0) {
                bytes.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        bytes.push_back(tail[i]);
    }
    return utf8::lossy(bytes);
}

std::optional<ByteWindow> clip_window(std::optional<std::string_view> range, std::uint64_t size)
{
    if (size == 0)
        return std::nullopt;
    ByteWindow window { 0, size - 1 };
    if (auto wanted = first_range(range)) {
        auto dash = wanted->find('-');
        auto start = trim(wanted->substr(0, dash));
        auto end = trim(wanted->substr(dash + 1));
        if (start.empty()) {
            auto suffix = read_u64(end);
            if (!suffix)
                return std::nullopt;
            window.first = *suffix <= size ? size - *suffix : 0;
        } else {
            auto first = read_u64(start);
            if (!first)
                return std::nullopt;
            window.first = *first;
            if (!end.empty()) {
                auto last = read_u64(end);
                if (!last)
                    return std::nullopt;
                window.last = std::min(*last, size - 1);
            }
        }
    }
    if (window.first > window.last || window.first >= size)
        return std::nullopt;
    window.last = std::min(window.last, window.first + (clip_window_bytes - 1));
    return window;
}

std::span<StaticAsset const> static_assets()
{
    struct Row {
        std::string_view path;
        std::string_view content_type;
        std::string_view file;
    };
    static constexpr Row rows[] = {
        { "/", "text/html; charset=utf-8", "index.html" },
        { "/index.html", "text/html; charset=utf-8", "index.html" },
        { "/app.js", "text/javascript; charset=utf-8", "app.js" },
        { "/player.js", "text/javascript; charset=utf-8", "player.js" },
        { "/glass.js", "text/javascript; charset=utf-8", "glass.js" },
        { "/icons.js", "text/javascript; charset=utf-8", "icons.js" },
        { "/style.css", "text/css; charset=utf-8", "style.css" },
        { "/favicon.ico", "image/x-icon", "favicon.ico" },
        { "/fonts/geist-mono.woff2", "font/woff2", "fonts/geist-mono.woff2" },
        { "/fonts/instrument-sans.woff2", "font/woff2", "fonts/instrument-sans.woff2" },
    };
    // A file that this build does not have is left out, so its path is not found.
    static auto const table = [] {
        std::vector<StaticAsset> assets;
        for (auto const& row : rows) {
            if (auto bytes = embedded_page_file(row.file))
                assets.push_back({ row.path, row.content_type, *bytes });
        }
        return assets;
    }();
    return table;
}

PageResponse build_response(PageJob& job)
{
    auto path = uri_path(job.request.uri);
    if (!path)
        return not_found_response();
    if (path->starts_with("/api/"))
        return api_call(job, path->substr(5));
    if (path->starts_with("/clip/"))
        return clip_bytes(*job.app, percent_decode(path->substr(6)), job.request.header("Range"));
    if (path->starts_with("/thumb/"))
        return thumb_bytes(*job.app, percent_decode(path->substr(7)));
    for (auto const& asset : static_assets()) {
        if (asset.path == *path)
            return static_response(asset);
    }
    return not_found_response();
}

void handle_request(PageJob& job) { job.responder.respond(build_response(job)); }

void run_page_job(PageJob& job, PageServe const& serve)
{
    try {
        serve(job);
    } catch (...) {
        std::string message = "exception inconnue";
        try {
            throw;
        } catch (std::exception const& error) {
            message = error.what();
        } catch (...) {
        }
        threads::append_crash_record(std::source_location::current(), "quillmar-page: " + message);
        if (is_api_path(job.request))
            job.responder.respond({ 500, { { "Content-Type", "application/json" } },
                                    text_bytes(json_text({ { "error", internal_error_text } })) });
        else
            job.responder.respond(plain_response(500, internal_error_text));
    }
}

void page_worker_main(std::shared_ptr<SharedJobReceiver> jobs, PageServe serve)
{
    for (;;) {
        std::optional<PageJob> job;
        {
            std::lock_guard lock(jobs->mutex);
            job = jobs->receiver.recv();
        }
        if (!job)
            return;
        run_page_job(*job, serve);
    }
}

Result<channel::Sender<PageJob>> spawn_page_workers(PageServe serve, threads::Spawner const& start)
{
    if (!serve)
        serve = handle_request;
    auto [sender, receiver] = channel::make<PageJob>();
    auto shared = std::make_shared<SharedJobReceiver>();
    shared->receiver = std::move(receiver);
    for (int index = 0; index < page_worker_count; ++index) {
        auto worker = TRY(threads::start_needed(start, fmt::format("quillmar-page-{}", index),
                                                [shared, serve] { page_worker_main(shared, serve); }));
        // A job may take seconds (a light copy): the workers are not waited for at quit.
        worker.detach();
    }
    return sender;
}

void queue_page_request(PageHandler const& handler, PageRequest request, Responder responder)
{
    // A job that cannot be queued dies here, and its responder answers 503.
    (void)handler.jobs.send(PageJob { handler.proxy, std::move(request), std::move(responder), handler.app });
}

}

namespace api {

platform::PageSchemeHandler scheme_handler(PageHandler handler)
{
    return [handler = std::move(handler)](PageRequest request, platform::PageFinisher finish) {
        queue_page_request(handler, std::move(request), Responder(std::move(finish)));
    };
}

}
