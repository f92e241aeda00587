#include "tests/e2e/program_rig.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/media_check.h"

// Last: Xlib defines macros (None, Status, Bool) that clash with the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <pulse/error.h>
#include <pulse/simple.h>

extern char** environ;

namespace e2e {

namespace {

std::string read_whole(std::filesystem::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

nlohmann::json key(std::uint32_t vk, char const* label) { return { { "mods", 0 }, { "vk", vk }, { "label", label } }; }

void sleep_until_monotonic(double seconds)
{
    timespec when {};
    when.tv_sec = static_cast<time_t>(seconds);
    when.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) { }
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

std::vector<std::string> Home::environment() const
{
    std::vector<std::pair<std::string, std::string>> const own = {
        { "HOME", root.string() },
        { "XDG_CONFIG_HOME", (root / ".config").string() },
        { "XDG_DATA_HOME", (root / ".local" / "share").string() },
        { "XDG_CACHE_HOME", (root / ".cache").string() },
    };
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view text(*entry);
        bool replaced = std::ranges::any_of(own, [&](auto const& pair) { return text.starts_with(pair.first + "="); });
        if (!replaced)
            result.emplace_back(text);
    }
    for (auto const& [name, value] : own)
        result.push_back(name + "=" + value);
    return result;
}

// -- Program ---------------------------------------------------------------------------------------------------

Program::Program(Home const& home, std::vector<std::string> args)
{
    std::filesystem::create_directories(home.root);
    for (int n = 1;; ++n) {
        m_log = home.root / ("quillmar-" + std::to_string(n) + ".log");
        if (!std::filesystem::exists(m_log))
            break;
    }
    args.insert(args.begin(), QUILLMAR_BINARY);
    auto env = home.environment();
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
}

Program::~Program()
{
    if (m_pid > 0 && !m_exit) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
    }
}

std::optional<int> Program::wait_exit(std::chrono::milliseconds timeout)
{
    if (m_exit || m_pid <= 0)
        return m_exit;
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_exit;
        }
        if (done < 0 && errno != EINTR)
            return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(20ms);
    }
}

bool Program::running() { return m_pid > 0 && !wait_exit(0ms); }

void Program::signal(int number) const
{
    if (m_pid > 0 && !m_exit)
        ::kill(m_pid, number);
}

bool Program::wait_thread(std::string_view name, std::chrono::milliseconds timeout,
                          std::chrono::milliseconds poll) const
{
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    auto const tasks = std::filesystem::path("/proc") / std::to_string(m_pid) / "task";
    for (;;) {
        std::error_code ec;
        for (auto const& task : std::filesystem::directory_iterator(tasks, ec)) {
            auto comm = read_whole(task.path() / "comm");
            if (comm.starts_with(name.substr(0, 15)))
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(poll);
    }
}

int Program::open_files_under(std::filesystem::path const& folder) const
{
    int count = 0;
    std::error_code ec;
    auto const prefix = folder.string() + "/";
    for (auto const& fd : std::filesystem::directory_iterator(std::filesystem::path("/proc") / std::to_string(m_pid) / "fd", ec)) {
        std::error_code link_error;
        auto target = std::filesystem::read_symlink(fd.path(), link_error);
        if (!link_error && target.string().starts_with(prefix))
            ++count;
    }
    return count;
}

std::string Program::output() const { return read_whole(m_log); }

// -- Keys and clips --------------------------------------------------------------------------------------------

bool press(std::string const& key, std::string* error)
{
    auto result = media::run({ "xdotool", "key", key });
    if (result.status != 0 && error)
        *error = result.output;
    return result.status == 0;
}

nlohmann::json read_sidecar(std::filesystem::path const& clips_dir, std::string const& id)
{
    auto parsed = nlohmann::json::parse(read_whole(clips_dir / ".quillmar" / (id + ".json")), nullptr, false);
    return parsed.is_discarded() ? nlohmann::json() : parsed;
}

std::vector<SavedClip> list_clips(std::filesystem::path const& clips_dir)
{
    std::vector<SavedClip> clips;
    std::error_code ec;
    for (auto const& entry : std::filesystem::directory_iterator(clips_dir, ec)) {
        auto const& path = entry.path();
        if (path.extension() != ".mp4" || !entry.is_regular_file())
            continue;
        std::string id = path.stem().string();
        auto sidecar = read_sidecar(clips_dir, id);
        if (sidecar.is_null())
            continue;
        clips.push_back({ id, path, clips_dir / ".quillmar" / (id + ".jpg"), std::move(sidecar) });
    }
    std::ranges::sort(clips, {}, &SavedClip::id);
    return clips;
}

std::vector<SavedClip> wait_clips(std::filesystem::path const& clips_dir, std::size_t count,
                                  std::chrono::milliseconds timeout)
{
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto clips = list_clips(clips_dir);
        if (clips.size() >= count || std::chrono::steady_clock::now() >= deadline)
            return clips;
        std::this_thread::sleep_for(100ms);
    }
}

bool set_active_window(unsigned long window)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    Window const value = window;
    XChangeProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_ACTIVE_WINDOW", False), XA_WINDOW,
                    32, PropModeReplace, reinterpret_cast<unsigned char const*>(&value), 1);
    XSync(display, False);
    XCloseDisplay(display);
    return true;
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

std::optional<double> TestGame::flash()
{
    if (m_mode != Mode::Flash)
        return std::nullopt;
    std::unique_lock lock(m_mutex);
    if (!m_painted || !m_sound_ready)
        return std::nullopt;
    m_flash_requested = true;
    m_changed.notify_all();
    if (!m_changed.wait_for(lock, 5s, [&] { return m_flash_painted || m_error.has_value(); }))
        return std::nullopt;
    return m_flash_at;
}

void TestGame::paint_loop()
{
    auto report = [&](std::string text) {
        std::lock_guard lock(m_mutex);
        m_error = std::move(text);
        m_changed.notify_all();
    };
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
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify)
            break;
    }
    // Ask for focus the way a pager does, in case the window manager did not give it on mapping.
    XEvent activate {};
    activate.xclient.type = ClientMessage;
    activate.xclient.window = window;
    activate.xclient.message_type = atom("_NET_ACTIVE_WINDOW");
    activate.xclient.format = 32;
    activate.xclient.data.l[0] = 2;
    activate.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &activate);
    // No pointer over the picture.
    XWarpPointer(display, None, root, 0, 0, 0, 0, width - 1, height - 1);

    m_window_id.store(window);
    GC gc = XCreateGC(display, window, 0, nullptr);
    auto fill = [&](unsigned long colour, int x, int y, int w, int h) {
        XSetForeground(display, gc, colour);
        XFillRectangle(display, window, gc, x, y, unsigned(w), unsigned(h));
    };
    int frame = 0;
    while (!m_stop.load()) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
        }
        bool white = false;
        std::optional<double> flash_at;
        {
            std::lock_guard lock(m_mutex);
            white = m_flash_painted;
            if (!white && m_flash_at)
                flash_at = m_flash_at;
        }
        if (m_mode == Mode::Pattern) {
            fill(std::uint32_t(pattern_block.r) << 16 | std::uint32_t(pattern_block.g) << 8 | pattern_block.b, 0, 0,
                 width / 2, height / 2);
            fill(0x1ea0dc, width / 2, 0, width - width / 2, height / 2);
            fill(0x3c3c3c, 0, height / 2, width, height - height / 2);
            fill(0xffffff, (frame * 12) % (width - 200), height / 2 + 100, 200, 200);
        } else if (flash_at) {
            // The tone's first sample is heard at flash_at: turn white at that instant.
            sleep_until_monotonic(*flash_at);
            fill(0xffffff, 0, 0, width, height);
            XSync(display, False);
            std::lock_guard lock(m_mutex);
            m_flash_painted = true;
            m_changed.notify_all();
            continue;
        } else {
            fill(white ? 0xffffff : 0x000000, 0, 0, width, height);
        }
        XSync(display, False);
        if (frame == 0) {
            std::lock_guard lock(m_mutex);
            m_painted = true;
            m_changed.notify_all();
        }
        ++frame;
        // Short naps in Flash mode, so the flash request is seen at once.
        std::unique_lock lock(m_mutex);
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
    pa_sample_spec spec { PA_SAMPLE_S16LE, rate, 2 };
    pa_buffer_attr attributes {};
    attributes.maxlength = std::uint32_t(-1);
    attributes.tlength = std::uint32_t(pa_usec_to_bytes(30'000, &spec));
    attributes.prebuf = std::uint32_t(-1);
    attributes.minreq = std::uint32_t(pa_usec_to_bytes(10'000, &spec));
    attributes.fragsize = std::uint32_t(-1);
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "quillmar-e2e", PA_STREAM_PLAYBACK, nullptr, m_title.c_str(), &spec,
                                      nullptr, &attributes, &error);
    if (!stream) {
        std::lock_guard lock(m_mutex);
        m_error = std::string("PulseAudio: ") + pa_strerror(error);
        m_changed.notify_all();
        return;
    }
    std::vector<std::int16_t> chunk(std::size_t(chunk_frames) * 2);
    double phase = 0;
    bool tone = m_mode == Mode::Pattern;
    double const frequency = m_mode == Mode::Pattern ? 440.0 : 1000.0;
    bool first = true;
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
            std::int16_t value = 0;
            if (tone) {
                value = std::int16_t(std::lround(9830.0 * std::sin(phase)));
                phase += 2 * M_PI * frequency / rate;
                if (phase > 2 * M_PI)
                    phase -= 2 * M_PI;
            }
            chunk[std::size_t(i) * 2] = value;
            chunk[std::size_t(i) * 2 + 1] = value;
        }
        if (pa_simple_write(stream, chunk.data(), chunk.size() * sizeof(std::int16_t), &error) < 0)
            break;
        if (first) {
            first = false;
            std::lock_guard lock(m_mutex);
            m_sound_ready = true;
            m_changed.notify_all();
        }
    }
    pa_simple_drain(stream, &error);
    pa_simple_free(stream);
}

}
