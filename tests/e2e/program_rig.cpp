#include "tests/e2e/program_rig.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

// Last: Xlib defines macros (None, Status, Bool) that clash with the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <pulse/error.h>
#include <pulse/simple.h>

extern char** environ;

namespace e2e {

namespace {

nlohmann::json key(std::uint32_t vk, char const* label) { return { { "mods", 0 }, { "vk", vk }, { "label", label } }; }

void sleep_until_monotonic(double seconds)
{
    timespec when {};
    when.tv_sec = static_cast<time_t>(seconds);
    when.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) { }
}

// What a pager or the close button sends: a client message to the window itself, or to the root window for
// the window manager.
void client_message(Display* display, unsigned long window, char const* type, std::initializer_list<long> data,
                    bool to_root)
{
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, type, False);
    event.xclient.format = 32;
    int i = 0;
    for (long value : data)
        event.xclient.data.l[i++] = value;
    XSendEvent(display, to_root ? DefaultRootWindow(display) : window, False,
               to_root ? SubstructureRedirectMask | SubstructureNotifyMask : NoEventMask, &event);
}

// Runs `fn` on a connection of its own, flushed before it closes; false without a display.
template <class F> bool with_display(F const& fn)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    fn(display);
    XSync(display, False);
    XCloseDisplay(display);
    return true;
}

}

double monotonic_seconds()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// -- Home ------------------------------------------------------------------------------------------------------

nlohmann::json test_settings(std::uint32_t save_secs)
{
    return {
        { "slots",
          nlohmann::json::array({ { { "secs", save_secs }, { "key", key(0x75, "F6") } },
                                  { { "secs", 60 }, { "key", key(0x76, "F7") } },
                                  { { "secs", 90 }, { "key", key(0x77, "F8") } },
                                  { { "secs", 120 }, { "key", key(0x78, "F9") } } }) },
        { "recordKey", key(0x79, "F10") },
        { "resolution", "P720" },
        { "fps", 30 },
        { "micAudio", false },
    };
}

void Home::write_settings(nlohmann::json const& changes) const
{
    auto settings = test_settings(30);
    settings.merge_patch(changes);
    std::filesystem::create_directories(config_dir());
    std::ofstream(config_dir() / "settings.json", std::ios::binary) << settings.dump(2);
}

std::vector<std::string> Home::variables() const
{
    return { "HOME=" + root.string(), "XDG_CONFIG_HOME=" + (xdg() / ".config").string(),
             "XDG_DATA_HOME=" + (xdg() / ".local" / "share").string(), "XDG_CACHE_HOME=" + (xdg() / ".cache").string() };
}

// -- Processes -------------------------------------------------------------------------------------------------

namespace {

// A log of its own in the home folder for each run: quillmar-1.log, quillmar-2.log...
std::filesystem::path new_log(Home const& home)
{
    std::filesystem::create_directories(home.root);
    for (int n = 1;; ++n) {
        auto log = home.root / ("quillmar-" + std::to_string(n) + ".log");
        if (!std::filesystem::exists(log))
            return log;
    }
}

// env sets the home's variables and runs the binary in its own place, under the same process id.
std::vector<std::string> binary_in(Home const& home, std::vector<std::string> args)
{
    auto argv = home.variables();
    argv.insert(argv.begin(), "env");
    argv.push_back(QUILLMAR_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}

Program::Program(Home const& home, std::vector<std::string> args)
    : Program(binary_in(home, std::move(args)), new_log(home))
{
}

Program::Program(std::vector<std::string> argv, std::filesystem::path log)
    : m_log(std::move(log))
{
    std::vector<char*> args;
    for (auto& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
}

Program::~Program()
{
    if (m_pid > 0 && !m_exit) {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) { }
    }
}

std::optional<int> Program::wait_exit(std::chrono::milliseconds timeout)
{
    poll_until([&] {
        int status = 0;
        if (!m_exit && m_pid > 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid)
            m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return m_exit || m_pid <= 0;
    }, timeout);
    return m_exit;
}

void Program::signal(int number) const
{
    if (m_pid > 0 && !m_exit)
        ::kill(m_pid, number);
}

bool Program::wait_thread(std::string_view name, std::chrono::milliseconds timeout,
                          std::chrono::milliseconds poll) const
{
    auto const tasks = std::filesystem::path("/proc") / std::to_string(m_pid) / "task";
    return poll_until([&] {
        std::error_code ec;
        for (auto const& task : std::filesystem::directory_iterator(tasks, ec)) {
            if (testing_support::read_file(task.path() / "comm").starts_with(name.substr(0, 15)))
                return true;
        }
        return false;
    }, timeout, poll);
}

std::unique_ptr<Program> program_on_small_disk(Home const& home, std::filesystem::path const& folder,
                                               std::uint64_t bytes, std::vector<std::string> args,
                                               std::string const& options)
{
    if (media::run({ "unshare", "-rm", "true" }).status != 0)
        return nullptr;
    std::filesystem::create_directories(folder);
    auto mount_options = "size=" + std::to_string(bytes) + (options.empty() ? "" : "," + options);
    std::vector<std::string> argv { "unshare", "-rm", "--propagation", "private", "sh", "-c",
                                    "mount -t tmpfs -o \"$1\" tmpfs \"$2\" && shift 2 && exec \"$@\"", "sh",
                                    mount_options, folder.string() };
    auto binary = binary_in(home, std::move(args));
    argv.insert(argv.end(), binary.begin(), binary.end());
    return std::make_unique<Program>(std::move(argv), new_log(home));
}

void press(std::string const& key)
{
    auto result = media::run({ "xdotool", "key", key });
    EXPECT_EQ(result.status, 0) << result.output;
}

std::string output_of(std::string const& command) { return media::run({ "sh", "-c", command }).output; }

// -- Clips -----------------------------------------------------------------------------------------------------

std::vector<SavedClip> list_clips(std::filesystem::path const& clips_dir)
{
    std::vector<SavedClip> clips;
    std::error_code ec;
    for (auto const& entry : std::filesystem::directory_iterator(clips_dir, ec)) {
        auto const& path = entry.path();
        if (path.extension() != ".mp4" || !entry.is_regular_file())
            continue;
        std::string id = path.stem().string();
        auto const meta = clips_dir / ".quillmar" / id;
        auto sidecar = nlohmann::json::parse(testing_support::read_file(meta.string() + ".json"), nullptr, false);
        if (!sidecar.is_discarded())
            clips.push_back({ id, path, meta.string() + ".jpg", std::move(sidecar) });
    }
    std::ranges::sort(clips, {}, &SavedClip::id);
    return clips;
}

std::vector<SavedClip> wait_clips(std::filesystem::path const& clips_dir, std::size_t count,
                                  std::chrono::milliseconds timeout)
{
    std::vector<SavedClip> clips;
    poll_until([&] { return (clips = list_clips(clips_dir)).size() >= count; }, timeout, 100ms);
    return clips;
}

// -- Windows ---------------------------------------------------------------------------------------------------

unsigned long main_window(pid_t pid, bool mapped_only)
{
    std::istringstream ids(output_of(fmt::format("xdotool search {} --pid {} --name '^quill\\.mar$' 2>/dev/null",
                                                 mapped_only ? "--onlyvisible" : "", pid)));
    for (unsigned long id = 0; ids >> id;) {
        if (output_of(fmt::format("xprop -id {} WM_NORMAL_HINTS", id)).find("minimum size: 960 by 600") != std::string::npos)
            return id;
    }
    return 0;
}

unsigned long shown_menu()
{
    std::istringstream ids(output_of("xdotool search --onlyvisible --class '^quillmar$' 2>/dev/null"));
    for (unsigned long id = 0; ids >> id;) {
        auto info = output_of(fmt::format("xwininfo -id {}", id));
        if (info.find("Override Redirect State: yes") != std::string::npos && xwininfo_field(id, "Absolute upper-left X") >= 0
            && xwininfo_field(id, "Height") > 30)
            return id;
    }
    return 0;
}

int xwininfo_field(unsigned long id, std::string const& field)
{
    std::smatch match;
    auto text = output_of(fmt::format("xwininfo -id {}", id));
    std::regex pattern(field + ":\\s+(-?[0-9]+)");
    return std::regex_search(text, match, pattern) ? std::stoi(match[1]) : -1;
}

void close_window(unsigned long window)
{
    with_display([&](Display* display) {
        client_message(display, window, "WM_PROTOCOLS", { long(XInternAtom(display, "WM_DELETE_WINDOW", False)), CurrentTime },
                       false);
    });
}

void add_state(unsigned long window, char const* first, char const* second)
{
    with_display([&](Display* display) {
        long const add = 1, from_pager = 1;
        client_message(display, window, "_NET_WM_STATE",
                       { add, long(XInternAtom(display, first, False)),
                         second ? long(XInternAtom(display, second, False)) : 0, from_pager },
                       true);
    });
}

bool set_active_window(unsigned long window)
{
    return with_display([&](Display* display) {
        Window const value = window;
        XChangeProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_ACTIVE_WINDOW", False),
                        XA_WINDOW, 32, PropModeReplace, reinterpret_cast<unsigned char const*>(&value), 1);
    });
}

namespace {

// Windows may go before they are asked about, and an unviewable one has no pixels to read.
struct QuietErrors {
    XErrorHandler old = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    ~QuietErrors() { XSetErrorHandler(old); }
};

}

MapWatch::MapWatch()
    : m_display(XOpenDisplay(nullptr))
{
    if (m_display) {
        XSelectInput(m_display, DefaultRootWindow(m_display), SubstructureNotifyMask);
        XFlush(m_display);
    }
}

MapWatch::~MapWatch()
{
    if (m_display)
        XCloseDisplay(m_display);
}

void MapWatch::take_events(int wait_ms)
{
    pollfd ready { ConnectionNumber(m_display), POLLIN, 0 };
    if (!XPending(m_display) && wait_ms > 0)
        ::poll(&ready, 1, wait_ms);
    while (XPending(m_display)) {
        XEvent event;
        XNextEvent(m_display, &event);
        // A window on the root is seen through the root (its own mask may come too late); one that the
        // window manager put into a frame is seen through its own mask, chosen at its creation.
        bool const from_root = event.xany.window == DefaultRootWindow(m_display);
        auto seen = [&](Window window) -> Seen* {
            auto& entry = m_windows[window];
            return entry.on_root == from_root ? &entry : nullptr;
        };
        if (event.type == CreateNotify) {
            auto const& created = event.xcreatewindow;
            XSelectInput(m_display, created.window, StructureNotifyMask);
            m_windows[created.window] = { created.width, true, {} };
        } else if (event.type == ReparentNotify && !from_root) {
            m_windows[event.xreparent.window].on_root = event.xreparent.parent == DefaultRootWindow(m_display);
        } else if (event.type == ConfigureNotify && seen(event.xconfigure.window)) {
            seen(event.xconfigure.window)->width = event.xconfigure.width;
        } else if (event.type == MapNotify && seen(event.xmap.window)) {
            m_maps.emplace_back(event.xmap.window, m_windows[event.xmap.window].width);
        }
    }
}

std::optional<Colour> MapWatch::first_paint(int min_width, int x, int y)
{
    QuietErrors quiet;
    Window mapped = 0;
    auto const deadline = std::chrono::steady_clock::now() + 60s;
    while (m_display && std::chrono::steady_clock::now() < deadline) {
        for (auto [window, width] : m_maps) {
            if (!mapped && width >= min_width)
                mapped = window;
        }
        if (!mapped) {
            take_events(100);
        } else if (XImage* image = XGetImage(m_display, mapped, x, y, 1, 1, AllPlanes, ZPixmap)) {
            unsigned long pixel = XGetPixel(image, 0, 0);
            XDestroyImage(image);
            if (pixel & 0xffffff)
                return Colour { std::uint8_t(pixel >> 16), std::uint8_t(pixel >> 8), std::uint8_t(pixel) };
        }
    }
    return std::nullopt;
}

std::vector<int> MapWatch::maps(std::string const& wm_class)
{
    QuietErrors quiet;
    std::vector<int> widths;
    if (!m_display)
        return widths;
    XSync(m_display, False);
    take_events(0);
    for (auto [window, width] : m_maps) {
        // Set after the window is created: asked for once it has been mapped.
        auto& seen = m_windows[window];
        XClassHint hint {};
        if (seen.wm_class.empty() && XGetClassHint(m_display, window, &hint)) {
            seen.wm_class = hint.res_class;
            XFree(hint.res_name);
            XFree(hint.res_class);
        }
        if (seen.wm_class == wm_class)
            widths.push_back(width);
    }
    return widths;
}

// -- Test game -------------------------------------------------------------------------------------------------

TestGame::TestGame(std::string title, Mode mode)
    : m_title(std::move(title))
    , m_mode(mode)
{
}

TestGame::~TestGame()
{
    m_stop.store(true);
    m_changed.notify_all();
    if (m_painter.joinable())
        m_painter.join();
    if (m_sound.joinable())
        m_sound.join();
}

std::optional<std::string> TestGame::start()
{
    m_painter = std::thread([this] { paint_loop(); });
    m_sound = std::thread([this] { sound_loop(); });
    std::unique_lock lock(m_mutex);
    bool ready = m_changed.wait_for(lock, 10s, [&] { return m_error || (m_painted && m_sound_ready); });
    if (m_error)
        return m_error;
    if (!ready)
        return std::string("the test game did not start");
    return std::nullopt;
}

std::optional<TestGame::FlashTimes> TestGame::flash()
{
    if (m_mode != Mode::Flash)
        return std::nullopt;
    std::unique_lock lock(m_mutex);
    if (!m_painted || !m_sound_ready)
        return std::nullopt;
    m_flash_requested = true;
    m_changed.notify_all();
    if (!m_changed.wait_for(lock, 5s, [&] { return (m_flash_painted && m_tone_at) || m_error.has_value(); })
        || m_error)
        return std::nullopt;
    return FlashTimes { m_white_from, m_white_to, *m_tone_at };
}

void TestGame::report(std::string error)
{
    std::lock_guard lock(m_mutex);
    m_error = std::move(error);
    m_changed.notify_all();
}

void TestGame::paint_loop()
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return report("no X display");
    int const screen = DefaultScreen(display);
    Window const root = RootWindow(display, screen);
    int const width = DisplayWidth(display, screen);
    int const height = DisplayHeight(display, screen);
    Window window = XCreateSimpleWindow(display, root, 0, 0, unsigned(width), unsigned(height), 0, 0, 0);
    XSelectInput(display, window, StructureNotifyMask | ExposureMask);

    auto atom = [&](char const* name) { return XInternAtom(display, name, False); };
    XStoreName(display, window, m_title.c_str());
    XChangeProperty(display, window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, PropModeReplace,
                    reinterpret_cast<unsigned char const*>(m_title.data()), int(m_title.size()));
    long const pid = ::getpid();
    XChangeProperty(display, window, atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char const*>(&pid), 1);
    XClassHint hint { const_cast<char*>("partie"), const_cast<char*>("Partie") };
    XSetClassHint(display, window, &hint);
    // Asked before mapping, so the window manager maps it fullscreen at once.
    Atom const fullscreen = atom("_NET_WM_STATE_FULLSCREEN");
    XChangeProperty(display, window, atom("_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char const*>(&fullscreen), 1);
    XMapRaised(display, window);
    for (XEvent event {}; event.type != MapNotify;)
        XNextEvent(display, &event);
    // Ask for focus the way a pager does, in case the window manager did not give it on mapping.
    client_message(display, window, "_NET_ACTIVE_WINDOW", { 2, CurrentTime }, true);
    // No pointer over the picture.
    XWarpPointer(display, None, root, 0, 0, 0, 0, width - 1, height - 1);

    m_window_id.store(window);
    GC gc = XCreateGC(display, window, 0, nullptr);
    auto fill = [&](unsigned long colour, int x, int y, int w, int h) {
        XSetForeground(display, gc, colour);
        XFillRectangle(display, window, gc, x, y, unsigned(w), unsigned(h));
    };
    for (int frame = 0; !m_stop.load(); ++frame) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
        }
        bool white = false;
        std::optional<double> flash_at;
        {
            std::lock_guard lock(m_mutex);
            white = m_flash_painted;
            if (!white)
                flash_at = m_flash_at;
        }
        if (m_mode == Mode::Pattern) {
            fill(std::uint32_t(pattern_block.r) << 16 | std::uint32_t(pattern_block.g) << 8 | pattern_block.b, 0, 0,
                 width / 2, height / 2);
            fill(0x1ea0dc, width / 2, 0, width - width / 2, height / 2);
            fill(0x3c3c3c, 0, height / 2, width, height - height / 2);
            fill(0xffffff, (frame * 12) % (width - 200), height / 2 + 100, 200, 200);
        } else {
            // The tone's first sample is heard at flash_at: turn white at that instant.
            if (flash_at)
                sleep_until_monotonic(*flash_at);
            fill(white || flash_at ? 0xffffff : 0x000000, 0, 0, width, height);
        }
        // Drawing is queued until XSync sends it, and the server has drawn it when XSync returns.
        double const sent = monotonic_seconds();
        XSync(display, False);
        double const drawn = monotonic_seconds();
        std::unique_lock lock(m_mutex);
        m_painted = true;
        if (flash_at && !m_flash_painted) {
            m_white_from = sent;
            m_white_to = drawn;
        }
        m_flash_painted = m_flash_painted || flash_at;
        m_changed.notify_all();
        // Short naps in Flash mode, so the flash request is seen at once.
        m_changed.wait_for(lock, m_mode == Mode::Pattern ? 16ms : 5ms,
                           [&] { return m_stop.load() || (m_flash_at && !m_flash_painted); });
    }
    XFreeGC(display, gc);
    XDestroyWindow(display, window);
    XCloseDisplay(display);
}

void TestGame::sound_loop()
{
    constexpr int rate = 48'000;
    constexpr int chunk_frames = rate / 100; // 10 ms
    pa_sample_spec format { PA_SAMPLE_S16LE, rate, 2 };
    pa_buffer_attr attributes {};
    attributes.maxlength = std::uint32_t(-1);
    // The flash's tone is queued 200 ms ahead, so that a busy machine has to hold this thread up that long for
    // the queue to run dry and the tone to start late.
    attributes.tlength = std::uint32_t(pa_usec_to_bytes(m_mode == Mode::Flash ? 200'000 : 30'000, &format));
    attributes.prebuf = std::uint32_t(-1);
    attributes.minreq = std::uint32_t(pa_usec_to_bytes(10'000, &format));
    attributes.fragsize = std::uint32_t(-1);
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "quillmar-e2e", PA_STREAM_PLAYBACK, nullptr, m_title.c_str(), &format,
                                      nullptr, &attributes, &error);
    if (!stream)
        return report(std::string("PulseAudio: ") + pa_strerror(error));
    std::vector<std::int16_t> chunk(std::size_t(chunk_frames) * 2);
    double phase = 0;
    bool tone = m_mode == Mode::Pattern;
    double const frequency = m_mode == Mode::Pattern ? 440.0 : 1000.0;
    while (!m_stop.load()) {
        if (!tone) {
            std::lock_guard lock(m_mutex);
            if (m_flash_requested) {
                // Whatever is queued now plays first: the first tone sample written next is heard after it.
                int latency_error = 0;
                pa_usec_t const latency = pa_simple_get_latency(stream, &latency_error);
                m_flash_at = monotonic_seconds() + double(latency) / 1e6;
                m_changed.notify_all();
                tone = true;
            }
        }
        for (int i = 0; i < chunk_frames; ++i) {
            auto const value = tone ? std::int16_t(std::lround(9830.0 * std::sin(phase))) : std::int16_t(0);
            phase = std::fmod(phase + (tone ? 2 * M_PI * frequency / rate : 0), 2 * M_PI);
            chunk[std::size_t(i) * 2] = value;
            chunk[std::size_t(i) * 2 + 1] = value;
        }
        if (pa_simple_write(stream, chunk.data(), chunk.size() * sizeof(std::int16_t), &error) < 0)
            break;
        std::lock_guard lock(m_mutex);
        if (tone && m_flash_at && !m_tone_at) {
            // Had this thread been held up long enough for the queue to run dry, the tone started later than
            // aimed: what is queued now ends with the chunk just written, whose first sample is the tone's.
            int latency_error = 0;
            pa_usec_t const latency = pa_simple_get_latency(stream, &latency_error);
            double const played = monotonic_seconds() + double(latency) / 1e6 - double(chunk_frames) / rate;
            m_tone_at = std::max(*m_flash_at, played);
        }
        m_sound_ready = true;
        m_changed.notify_all();
    }
    pa_simple_drain(stream, &error);
    pa_simple_free(stream);
}

// -- Fixture ---------------------------------------------------------------------------------------------------

void DesktopRun::SetUp()
{
    TempDirTest::SetUp();
    home.root = dir() / "home";
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP() << "needs the test desktop (scripts/desktop-session)";
    for (char const* tool : { "xdotool", "xwininfo", "xprop", "ffprobe", "ffmpeg", "gst-launch-1.0", "djpeg" }) {
        if (!media::have_tool(tool))
            GTEST_SKIP() << tool << " missing";
    }
}

void DesktopRun::TearDown()
{
    if (HasFailure() || std::getenv("QUILLMAR_E2E_KEEP"))
        std::fprintf(stderr, "kept for a look: %s\n", dir().c_str());
    else
        TempDirTest::TearDown();
}

}
