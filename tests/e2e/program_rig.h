#pragma once
// What the whole-program tests share: a private home for runs of the real quillmar binary, processes started
// and stopped by their id, keys typed with xdotool, the clips it saves, its windows seen from outside (with
// xdotool, xwininfo and xprop, and the messages a window manager sends), and a test game (a fullscreen X11
// window of this test process, with its own sound stream on the default PulseAudio sink).
//
// Everything here runs on the test's main thread, except the test game, which paints and plays on two
// threads of its own until it is destroyed.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/types.h>

#include <nlohmann/json.hpp>

struct _XDisplay;

#include "tests/support/media_check.h"
#include "tests/support/temp_dir.h"

namespace e2e {

using namespace std::chrono_literals;
using media::poll_until;

// A home folder of its own: HOME and the XDG data, config and cache folders all point inside `root`, so a
// run never sees the user's settings or clips. XDG_RUNTIME_DIR (the sound server, the instance lock) stays.
struct Home {
    std::filesystem::path root;
    // Where the XDG data, config and cache folders lie when not in `root`: another copy of the program with
    // settings of its own under the same HOME, and so the same default clips folder.
    std::filesystem::path xdg_root;

    std::filesystem::path xdg() const { return xdg_root.empty() ? root : xdg_root; }
    std::filesystem::path config_dir() const { return xdg() / ".config" / "quill.mar"; }
    std::filesystem::path clips_dir() const { return root / "Videos" / "quill.mar"; }
    std::filesystem::path meta_dir() const { return clips_dir() / ".quillmar"; }
    // settings.json in the data folder: the test settings below with `changes` merged over them.
    void write_settings(nlohmann::json const& changes = nlohmann::json::object()) const;
    // HOME and the XDG folders above, as NAME=value.
    std::vector<std::string> variables() const;
};

// Light settings for a shared machine: 720p at 30 fps, the microphone off, F6 saving `save_secs` seconds.
nlohmann::json test_settings(std::uint32_t save_secs);

// A child process, its standard output and error going to a log file. Destroying one that still runs kills
// it (SIGKILL) and reaps it.
class Program {
public:
    // The quillmar binary in `home`, its log a new file there.
    Program(Home const& home, std::vector<std::string> args = {});
    // A helper of the test found on PATH (a tray, a watcher).
    Program(std::vector<std::string> argv, std::filesystem::path log);
    ~Program();
    Program(Program const&) = delete;
    Program& operator=(Program const&) = delete;

    pid_t pid() const { return m_pid; }
    bool started() const { return m_pid > 0; }
    // Exit code (128 + signal for a killed process) once it ended within `timeout`; nothing otherwise.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    bool running() { return m_pid > 0 && !wait_exit(0ms); }
    void signal(int number) const;
    // Polls /proc/PID/task/*/comm until a thread's name starts with `name` (names are cut to 15 bytes).
    bool wait_thread(std::string_view name, std::chrono::milliseconds timeout = 20s,
                     std::chrono::milliseconds poll = 50ms) const;
    // What it printed so far.
    std::string output() const { return testing_support::read_file(m_log); }

private:
    pid_t m_pid { -1 };
    std::optional<int> m_exit;
    std::filesystem::path m_log;
};

// The quillmar binary in `home` on a disk that fills: a tmpfs of `bytes` mounted on `folder` in a mount
// namespace of its own (unshare), which the test reads through /proc/PID/root while the program runs; `options`
// adds to the mount's ("nr_inodes=64"). Nothing when this system allows no such namespace.
std::unique_ptr<Program> program_on_small_disk(Home const& home, std::filesystem::path const& folder,
                                               std::uint64_t bytes, std::vector<std::string> args = {},
                                               std::string const& options = {});

// xdotool key NAME; a failure of xdotool fails the test.
void press(std::string const& key);
// What the shell command printed.
std::string output_of(std::string const& command);

struct SavedClip {
    std::string id;
    std::filesystem::path mp4;
    std::filesystem::path thumbnail; // may not exist
    nlohmann::json sidecar;
};

// The clips of the folder whose MP4 and sidecar both exist, oldest id first.
std::vector<SavedClip> list_clips(std::filesystem::path const& clips_dir);
// Polls until at least `count` clips are complete; returns what is there at the end.
std::vector<SavedClip> wait_clips(std::filesystem::path const& clips_dir, std::size_t count,
                                  std::chrono::milliseconds timeout = 20s);

// The program's main window (the one with the minimum size; the toast and the tray icon share its name), mapped
// or, with `mapped_only` false, merely existing; 0 when there is none.
unsigned long main_window(pid_t pid, bool mapped_only = true);
// A mapped pop-up menu of the program, 0 when none shows.
unsigned long shown_menu();
// A number field of xwininfo ("Width", "Absolute upper-left X"); -1 when missing or when the window is gone.
int xwininfo_field(unsigned long window, std::string const& field);
// The window manager's close button (WM_DELETE_WINDOW), and its _NET_WM_STATE requests.
void close_window(unsigned long window);
void add_state(unsigned long window, char const* first, char const* second = nullptr);
// Sets the root window's _NET_ACTIVE_WINDOW, as the window manager does (and sometimes leaves it naming a
// window that is gone); false without a display.
bool set_active_window(unsigned long window);

// Seconds on CLOCK_MONOTONIC, the engine's clock.
double monotonic_seconds();

struct Colour {
    std::uint8_t r, g, b;
};
// The top-left quarter of the Pattern picture.
constexpr Colour pattern_block { 200, 40, 90 };

// From its construction on, sees every window the desktop creates, and each time one is mapped.
class MapWatch {
public:
    MapWatch();
    ~MapWatch();
    MapWatch(MapWatch const&) = delete;
    MapWatch& operator=(MapWatch const&) = delete;
    // Waits for a window at least `min_width` wide to be mapped, then reads its point (x, y) until
    // something is painted there (the desktop beneath is black); nothing when that takes over a minute.
    std::optional<Colour> first_paint(int min_width, int x, int y);
    // The widths that windows of this WM_CLASS had each time one was mapped, in order.
    std::vector<int> maps(std::string const& wm_class);

private:
    struct Seen {
        int width { 0 };
        bool on_root { true };
        std::string wm_class;
    };
    void take_events(int wait_ms);

    ::_XDisplay* m_display;
    std::map<unsigned long, Seen> m_windows;
    std::vector<std::pair<unsigned long, int>> m_maps;
};

// The test game: a managed X11 window asking to be fullscreen, with the given title, on its own display
// connection, and a PulseAudio playback stream on the default sink with small buffers.
//  - Pattern: coloured blocks and a moving square, with a steady 440 Hz tone.
//  - Flash: black and silent until flash(); then, from one instant, white and a 1 kHz tone.
class TestGame {
public:
    enum class Mode { Pattern, Flash };
    TestGame(std::string title, Mode mode = Mode::Pattern);
    ~TestGame();
    TestGame(TestGame const&) = delete;
    TestGame& operator=(TestGame const&) = delete;

    // Opens the window and the sound stream and waits until the window is mapped and painted; the error text
    // when the desktop or the sound server is missing.
    std::optional<std::string> start();
    // When the flash really showed and sounded, on CLOCK_MONOTONIC (seconds). On a busy machine the game's own
    // threads may miss the instant they aim at; a recording must then show what they really did.
    struct FlashTimes {
        double white_from;  // the white frame reached the X server no earlier than this...
        double white_to;    // ...and no later than this
        double tone_at;     // the tone's first sample was played then
    };
    // Flash mode: turns white and starts the tone, aiming at one instant; nothing when the game is not in
    // Flash mode or did not start.
    std::optional<FlashTimes> flash();
    // The X id of the window once it is painted (0 before).
    unsigned long window_id() const { return m_window_id.load(); }

private:
    void paint_loop();
    void sound_loop();
    void report(std::string error);

    std::string m_title;
    Mode m_mode;
    std::thread m_painter;
    std::thread m_sound;
    std::atomic<bool> m_stop { false };
    std::atomic<unsigned long> m_window_id { 0 };

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_painted { false };
    bool m_sound_ready { false };
    std::optional<std::string> m_error;
    bool m_flash_requested { false };
    std::optional<double> m_flash_at;   // when the tone's first sample is due (set by the sound thread)
    std::optional<double> m_tone_at;    // when it was played, measured once written
    bool m_flash_painted { false };
    double m_white_from { 0 };
    double m_white_to { 0 };
};

// The fixture of the whole-program tests: skips without the test desktop or its tools, gives each test a
// home folder of its own, and keeps its folder after a failure (or always, with QUILLMAR_E2E_KEEP) for a look.
class DesktopRun : public testing_support::TempDirTest {
protected:
    void SetUp() override;
    void TearDown() override;

    Home home;
};

}
