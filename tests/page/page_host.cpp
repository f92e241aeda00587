// The page host for tests: the program's start-up in a private home (keys from the fakes, capture bodies
// that only wait to be stopped), its page server behind a libsoup HTTP server on 127.0.0.1 instead of the web
// view.
//
//   page_host --home DIR
//
// HOME and the XDG folders lie under DIR, the clips in DIR/Videos/quill.mar. The first line on standard
// output is the base URL ("http://127.0.0.1:PORT/"); each later line is a page script as a JSON string,
// which the driver runs in its page. Each request is logged on standard error as
// "request METHOD PATH range=VALUE status=N content-range=VALUE". Standard input takes one JSON command a
// line, which goes through the engine's notifier: {"event":"removed","ids":[...]}, {"event":"clip","id":ID} or
// {"event":"recording","id":ID} (a finished recording). {"event":"recording-slot","id":ID} only marks clip ID
// as the one being recorded, as the engine does while a recording runs ("" clears it); no script follows.
// A file put on the clipboard is logged as "clipboard PATH". Light copies are made by the real transcoder.
// It ends on SIGTERM, SIGINT or when standard input closes.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <glib-unix.h>
#include <libsoup/soup.h>

#include "app/api/page_server.h"
#include "app/main.h"
#include "library/library.h"
#include "platform/clipboard.h"
#include "platform/main_loop.h"
#include "platform/paths.h"
#include "platform/transcode.h"
#include "tests/fakes/fake_app_platform.h"

namespace {

namespace fs = std::filesystem;

// Prints each script for the driver, which runs it in its page.
class PrintingView final : public platform::PageView {
public:
    void run_script(std::string const& script) override
    {
        std::string line = api::json_text(script) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    // No window closes here: nothing asks the page before leaving.
    void call_script(std::string const&, std::function<void()>) override { }
};

// Holds no text; logs each file it takes, for the driver to read.
class LoggingClipboard final : public platform::Clipboard {
public:
    Result<void> put_file(fs::path const& path) override
    {
        std::string line = fmt::format("clipboard {}\n", path.string());
        std::fwrite(line.data(), 1, line.size(), stderr);
        return {};
    }
    std::optional<std::string> text() override { return std::nullopt; }
    void keep_after_exit() override { }
};

// The page's tests never read what is captured: with the desktop captured, the pipelines only run.
shell::AppPlatform fake_platform(fs::path const& home)
{
    auto platform = fakes::app_platform(home, std::make_shared<fakes::FakeHotkeys::State>());
    auto wait = [](engine::StopFlag const& stop) {
        while (!stop->load())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    platform.bodies.video = [wait](engine::VideoThreadParams params) { wait(params.stop); };
    platform.bodies.audio = [wait](engine::AudioThreadParams params) { wait(params.stop); };
    return platform;
}

void set_home(fs::path const& home)
{
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / ".local" / "share").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
    ::setenv("XDG_VIDEOS_DIR", (home / "Videos").c_str(), 1);
}

struct Host {
    shell::ShellState state;
    api::PageHandler handler;
};

// libsoup hands over the path decoded and normalised (and refuses %00 itself): escape it again so the
// server decodes exactly what was asked.
std::string request_uri(SoupServerMessage* message)
{
    GUri* uri = soup_server_message_get_uri(message);
    char* path = g_uri_escape_string(g_uri_get_path(uri), "/!$&'()*+,;=:@", FALSE);
    std::string text = path;
    g_free(path);
    if (char const* query = g_uri_get_query(uri))
        text += std::string("?") + query;
    return text;
}

void log_request(platform::PageRequest const& request, platform::PageResponse const& response)
{
    std::string line = fmt::format("request {} {} range={} status={} content-range={}\n", request.method,
                                   request.uri, request.header("Range").value_or("-"), response.status,
                                   response.header("Content-Range").value_or("-"));
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void finish(SoupServerMessage* message, platform::PageResponse response)
{
    soup_server_message_set_status(message, static_cast<guint>(response.status), nullptr);
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    for (auto const& [name, value] : response.headers)
        soup_message_headers_append(headers, name.c_str(), value.c_str());
    auto bytes = response.bytes();
    soup_message_headers_set_content_length(headers, static_cast<goffset>(bytes.size()));
    // Off, or the server answers a GET with Range by its own 206 instead of what the page server said.
    SoupMessageBody* body = soup_server_message_get_response_body(message);
    soup_message_body_set_accumulate(body, FALSE);
    auto* owned = new platform::PageResponse(std::move(response));
    GBytes* chunk = g_bytes_new_with_free_func(bytes.data(), bytes.size(),
                                               [](gpointer p) { delete static_cast<platform::PageResponse*>(p); }, owned);
    soup_message_body_append_bytes(body, chunk);
    g_bytes_unref(chunk);
    soup_message_body_complete(body);
    soup_server_message_unpause(message);
    g_object_unref(message);
}

void on_request(SoupServer*, SoupServerMessage* message, char const*, GHashTable*, gpointer data)
{
    auto& host = *static_cast<Host*>(data);
    platform::PageRequest request;
    request.method = soup_server_message_get_method(message);
    request.uri = request_uri(message);
    SoupMessageHeadersIter iter;
    soup_message_headers_iter_init(&iter, soup_server_message_get_request_headers(message));
    char const* name = nullptr;
    char const* value = nullptr;
    while (soup_message_headers_iter_next(&iter, &name, &value))
        request.headers.emplace_back(name, value);
    GBytes* body = soup_message_body_flatten(soup_server_message_get_request_body(message));
    auto const* data_bytes = static_cast<std::uint8_t const*>(g_bytes_get_data(body, nullptr));
    request.body.assign(data_bytes, data_bytes + g_bytes_get_size(body));
    g_bytes_unref(body);

    soup_server_message_pause(message);
    g_object_ref(message);
    auto logged = std::make_shared<platform::PageRequest>(request);
    api::queue_page_request(host.handler, std::move(request),
                            api::Responder([message, logged](platform::PageResponse response) {
                                log_request(*logged, response);
                                auto boxed = std::make_shared<platform::PageResponse>(std::move(response));
                                platform::invoke_on_main([message, boxed] { finish(message, std::move(*boxed)); });
                            }));
}

void run_command(engine::Engine& engine, std::string const& line)
{
    auto command = nlohmann::json::parse(line, nullptr, false);
    if (!command.is_object())
        return;
    using Event = engine::PageEvent;
    auto kind = command.value("event", "");
    auto id = command.value("id", "");
    auto folder = engine.clips_dir();
    if (kind == "recording-slot")
        engine.recording.set(id.empty() ? std::nullopt : std::optional(engine::RecordingSlot { 1, id }));
    else if (kind == "removed")
        engine.notify({ Event::Removed { command.value("ids", std::vector<std::string> {}) } });
    else if (auto path = library::clip_path(folder, id); path && kind == "clip")
        engine.notify({ Event::ClipSaved { library::read_clip_meta(folder, id, *path) } });
    else if (path && kind == "recording")
        engine.notify({ Event::RecordingFinished { library::read_clip_meta(folder, id, *path) } });
}

gboolean on_input(gint fd, GIOCondition, gpointer data)
{
    auto& host = *static_cast<Host*>(data);
    static std::string pending;
    char buffer[4096];
    auto got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) {
        platform::quit_main_loop();
        return G_SOURCE_REMOVE;
    }
    pending.append(buffer, static_cast<std::size_t>(got));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        run_command(*host.state.engine, pending.substr(0, end));
        pending.erase(0, end + 1);
    }
    return G_SOURCE_CONTINUE;
}

}

int main(int argc, char** argv)
{
    if (argc != 3 || std::string_view(argv[1]) != "--home") {
        std::fputs("usage: page_host --home DIR\n", stderr);
        return 2;
    }
    fs::path const home = fs::absolute(argv[2]);
    set_home(home);

    Host host;
    auto proxy = std::make_shared<shell::EventProxy>(
        [](std::function<void()> fn) { platform::invoke_on_main(std::move(fn)); },
        [&host](shell::UserEvent event) { shell::handle_event(host.state, std::move(event)); });
    auto engine = shell::init_app_state(paths::config_dir(), proxy, fake_platform(home));
    if (!engine) {
        std::fprintf(stderr, "page_host: %s\n", engine.error().c_str());
        return 1;
    }
    host.state.engine = *engine;
    api::Platform desktop;
    desktop.clipboard = std::make_shared<LoggingClipboard>();
    if (auto transcoder = platform::lavc_transcode_driver.open())
        desktop.transcoder = std::move(*transcoder);
    host.state.app = std::make_shared<api::App>(*engine, std::move(desktop));
    host.state.page_jobs = *api::spawn_page_workers();
    host.state.view = std::make_unique<PrintingView>();
    host.handler = { proxy, host.state.page_jobs, host.state.app };

    SoupServer* server = soup_server_new(nullptr, nullptr);
    soup_server_add_handler(server, nullptr, on_request, &host, nullptr);
    GError* error = nullptr;
    if (!soup_server_listen_local(server, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
        std::fprintf(stderr, "page_host: %s\n", error->message);
        return 1;
    }
    GSList* uris = soup_server_get_uris(server);
    std::printf("http://127.0.0.1:%d/\n", g_uri_get_port(static_cast<GUri*>(uris->data)));
    std::fflush(stdout);
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));

    platform::on_termination_signals([] { platform::quit_main_loop(); });
    g_unix_fd_add(0, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), on_input, &host);
    platform::run_main_loop();
    std::fflush(nullptr);
    // Detached engine threads still run: end without static destructors under them.
    std::_Exit(0);
}
