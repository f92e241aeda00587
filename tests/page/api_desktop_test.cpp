// The API's desktop drivers under the test desktop: the GTK clipboard seen through xclip, opening and
// revealing through a private XDG handler and a small file manager service, the folder dialog driven with
// xdotool.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <fmt/format.h>
#include <gio/gio.h>
#include <gtest/gtest.h>

#include "platform/clipboard.h"
#include "platform/main_loop.h"
#include "platform/shell.h"
#include "tests/support/media_check.h"

extern char** environ;

using namespace std::chrono_literals;

namespace {

// GIO reads the XDG folders once: they point into a private folder before any test runs.
std::filesystem::path const xdg_root = [] {
    auto root = testing_support::make_temp_dir("quillmar-xdg");
    setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    // The folder dialog's settings stay in this process.
    setenv("GSETTINGS_BACKEND", "memory", 1);
    // The system's data without its applications, so that only the handlers a test registers exist: each system
    // data folder is mirrored by links to all it holds but "applications".
    char const* system = std::getenv("XDG_DATA_DIRS");
    std::string dirs;
    std::istringstream list(system && *system ? system : "/usr/local/share:/usr/share");
    int index = 0;
    for (std::string folder; std::getline(list, folder, ':');) {
        std::error_code ec;
        auto mirror = root / "system" / std::to_string(index++);
        std::filesystem::create_directories(mirror);
        for (auto const& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (entry.path().filename() != "applications")
                std::filesystem::create_symlink(entry.path(), mirror / entry.path().filename(), ec);
        }
        dirs += (dirs.empty() ? "" : ":") + mirror.native();
    }
    setenv("XDG_DATA_DIRS", dirs.c_str(), 1);
    return root;
}();

class XdgCleanup : public ::testing::Environment {
    void TearDown() override { std::filesystem::remove_all(xdg_root); }
};
auto* const cleanup = ::testing::AddGlobalTestEnvironment(new XdgCleanup);

// Runs fn on a worker while the main thread runs the main loop, as the page workers do.
template <class F> auto on_worker(F fn)
{
    std::optional<decltype(fn())> result;
    std::thread worker([&] {
        result = fn();
        platform::invoke_on_main([] { platform::quit_main_loop(); });
    });
    platform::run_main_loop();
    worker.join();
    return *result;
}

// The clipboard's content for one target, as xclip prints it.
std::string clip_out(char const* target) { return media::run({ "xclip", "-selection", "clipboard", "-t", target, "-o" }).output; }

std::string targets() { return clip_out("TARGETS"); }

// xclip in the foreground, owning the clipboard with the file's bytes until killed.
class XclipOwner {
public:
    XclipOwner(std::filesystem::path const& data, char const* target)
    {
        char const* argv[] = { "xclip", "-quiet", "-selection", "clipboard", "-t", target, "-i", data.c_str(), nullptr };
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawnp(&m_pid, "xclip", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~XclipOwner()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

private:
    pid_t m_pid { -1 };
};

class ApiDesktop : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        if (!std::getenv("DISPLAY"))
            GTEST_SKIP() << "no display";
    }
};

}

TEST_F(ApiDesktop, CopyOffersTheFileOnlyAsFileTargets)
{
    auto clipboard = platform::gtk_clipboard_driver.open();
    ASSERT_TRUE(clipboard) << clipboard.error();
    for (std::string name : { "Été à Noël.mp4", "ligne\nfin.mp4" }) {
        SCOPED_TRACE(name);
        auto path = write_file(name, "mp4");
        auto answer = on_worker([&] {
            auto put = (*clipboard)->put_file(path);
            return std::vector<std::string> { put ? "" : put.error(), targets(), clip_out("text/uri-list"),
                                              clip_out("x-special/gnome-copied-files") };
        });
        EXPECT_EQ(answer[0], "");
        EXPECT_NE(answer[1].find("text/uri-list"), std::string::npos) << answer[1];
        EXPECT_NE(answer[1].find("x-special/gnome-copied-files"), std::string::npos) << answer[1];
        for (auto text_target : { "UTF8_STRING", "STRING", "TEXT", "text/plain" })
            EXPECT_EQ(answer[1].find(text_target), std::string::npos) << answer[1];
        // One line: the name's space or line feed is escaped inside the URI.
        ASSERT_TRUE(answer[2].ends_with("\r\n"));
        auto uri = answer[2].substr(0, answer[2].size() - 2);
        EXPECT_EQ(uri.find_first_of(" \n"), std::string::npos);
        std::unique_ptr<char, decltype(&g_free)> back(g_filename_from_uri(uri.c_str(), nullptr, nullptr), g_free);
        ASSERT_TRUE(back);
        EXPECT_EQ(std::string(back.get()), path.native());
        EXPECT_EQ(answer[3], "copy\n" + uri);
    }
}

TEST_F(ApiDesktop, PasteReadsTextEmptyTextAndNoText)
{
    auto clipboard = platform::gtk_clipboard_driver.open();
    ASSERT_TRUE(clipboard) << clipboard.error();
    auto const png = write_file("i.png", "\x89PNG\r\n\x1a\n");
    struct Row {
        char const* text;
        char const* target;
        std::optional<std::string> expected;
    };
    Row const rows[] = {
        { "Bonjour à tous", "UTF8_STRING", "Bonjour à tous" },
        { "", "UTF8_STRING", "" },
        { nullptr, "image/png", std::nullopt },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.target);
        XclipOwner owner(row.text ? write_file("text", row.text) : png, row.target);
        ASSERT_TRUE(media::poll_until([&] { return targets().find(row.target) != std::string::npos; }));
        EXPECT_EQ(on_worker([&] { return (*clipboard)->text(); }), row.expected);
    }
}

namespace {

// Owns org.freedesktop.FileManager1 on its own connection, served on its own thread, and writes down the
// items it is asked to show.
class FileManagerService {
public:
    FileManagerService()
        : m_thread([this] { run(); })
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_state != State::Starting; });
    }
    ~FileManagerService()
    {
        g_main_loop_quit(m_loop);
        m_thread.join();
    }
    bool owned()
    {
        std::lock_guard lock(m_mutex);
        return m_state == State::Owned;
    }
    std::vector<std::string> shown()
    {
        std::lock_guard lock(m_mutex);
        return m_shown;
    }

private:
    enum class State { Starting, Owned, Failed };

    void set_state(State state)
    {
        std::lock_guard lock(m_mutex);
        m_state = state;
        m_changed.notify_all();
    }

    void run()
    {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        m_loop = g_main_loop_new(context, FALSE);
        GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
            g_getenv("DBUS_SESSION_BUS_ADDRESS"),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
                                 | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        guint owner = 0;
        if (bus) {
            GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(
                "<node><interface name='org.freedesktop.FileManager1'><method name='ShowItems'><arg type='as' "
                "direction='in'/><arg type='s' direction='in'/></method></interface></node>",
                nullptr);
            static GDBusInterfaceVTable const vtable { &FileManagerService::on_call, nullptr, nullptr, {} };
            g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", info->interfaces[0], &vtable, this,
                                              nullptr, nullptr);
            g_dbus_node_info_unref(info);
            owner = g_bus_own_name_on_connection(
                bus, "org.freedesktop.FileManager1", G_BUS_NAME_OWNER_FLAGS_NONE,
                [](GDBusConnection*, char const*, gpointer self) {
                    static_cast<FileManagerService*>(self)->set_state(State::Owned);
                },
                [](GDBusConnection*, char const*, gpointer self) {
                    static_cast<FileManagerService*>(self)->set_state(State::Failed);
                },
                this, nullptr);
        } else {
            set_state(State::Failed);
        }
        g_main_loop_run(m_loop);
        if (owner)
            g_bus_unown_name(owner);
        if (bus) {
            g_dbus_connection_close_sync(bus, nullptr, nullptr);
            g_object_unref(bus);
        }
        g_main_loop_unref(m_loop);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }

    static void on_call(GDBusConnection*, char const*, char const*, char const*, char const*, GVariant* parameters,
                        GDBusMethodInvocation* invocation, gpointer data)
    {
        auto* self = static_cast<FileManagerService*>(data);
        GVariantIter* uris = nullptr;
        char const* startup = nullptr;
        g_variant_get(parameters, "(as&s)", &uris, &startup);
        char const* uri = nullptr;
        {
            std::lock_guard lock(self->m_mutex);
            while (g_variant_iter_next(uris, "&s", &uri))
                self->m_shown.emplace_back(uri);
        }
        g_variant_iter_free(uris);
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    State m_state { State::Starting };
    std::vector<std::string> m_shown;
    GMainLoop* m_loop { nullptr };
    std::thread m_thread;
};

}

// A bare window manager: nothing registered for clips or folders, and no file manager service. Declared before
// the test that registers a handler, which GIO would see from then on in a run of the whole file.
TEST_F(ApiDesktop, OpenAndRevealFailWithoutAnyHandler)
{
    auto clip = write_file("clips/Partie du soir.mp4", "mp4");
    auto shell = platform::gio_shell_driver.open();
    ASSERT_TRUE(shell);
    EXPECT_FALSE((*shell)->open(clip));
    EXPECT_FALSE((*shell)->reveal(clip));
    EXPECT_FALSE((*shell)->open(dir() / "clips"));
}

TEST_F(ApiDesktop, OpenAndRevealUseTheDesktopHandlers)
{
    // A handler for clips and folders that writes down what it was given.
    auto log = dir() / "opened.log";
    auto handler = xdg_root / "handler.sh";
    std::ofstream(handler) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << log.native() << "'\n";
    std::filesystem::permissions(handler, std::filesystem::perms::owner_all);
    std::filesystem::create_directories(xdg_root / "data" / "applications");
    std::ofstream(xdg_root / "data" / "applications" / "quillmar-test-handler.desktop")
        << "[Desktop Entry]\nType=Application\nName=Enregistreur\nExec=" << handler.native()
        << " %u\nMimeType=video/mp4;inode/directory;\n";
    std::filesystem::create_directories(xdg_root / "config");
    std::ofstream(xdg_root / "config" / "mimeapps.list")
        << "[Default Applications]\nvideo/mp4=quillmar-test-handler.desktop\ninode/directory=quillmar-test-handler.desktop\n";
    auto clip = write_file("clips/Partie du soir.mp4", "mp4");

    auto shell = platform::gio_shell_driver.open();
    ASSERT_TRUE(shell);
    auto lines = [&] { return std::ranges::count(read_file(log), '\n'); };
    EXPECT_TRUE((*shell)->open(clip));
    ASSERT_TRUE(media::poll_until([&] { return lines() == 1; }));
    // Without a file manager service, revealing opens the folder.
    EXPECT_TRUE((*shell)->reveal(clip));
    ASSERT_TRUE(media::poll_until([&] { return lines() == 2; }));
    // GIO hands local files to the handler as paths.
    EXPECT_EQ(read_file(log), clip.native() + "\n" + (dir() / "clips").native() + "\n");

    // With a file manager service, revealing asks it to show the clip itself, and opens nothing.
    FileManagerService service;
    ASSERT_TRUE(service.owned());
    EXPECT_TRUE((*shell)->reveal(clip));
    std::unique_ptr<char, decltype(&g_free)> uri(g_filename_to_uri(clip.c_str(), nullptr, nullptr), g_free);
    EXPECT_EQ(service.shown(), std::vector<std::string> { uri.get() });
    EXPECT_EQ(lines(), 2);
}

// GTK's own folder dialog (no portal on the test desktop), starting in the working folder: its recent files
// view takes no typed location. The location bar takes the folder with its closing "/", then Return as a key
// of its own (a typed line feed is no Return to GTK). A second call while the dialog shows answers nothing.
TEST_F(ApiDesktop, PickFolderAnswersTheTypedFolderOrNothingOnEscape)
{
    std::unique_ptr<GSettings, decltype(&g_object_unref)> chooser(g_settings_new("org.gtk.Settings.FileChooser"),
                                                                   g_object_unref);
    g_settings_set_string(chooser.get(), "startup-mode", "cwd");
    auto shell = platform::gio_shell_driver.open();
    ASSERT_TRUE(shell);
    auto folder = dir() / "Mes clips";
    std::filesystem::create_directories(folder);
    using Steps = std::vector<std::vector<std::string>>;
    std::string last_dialog;
    for (auto const& [steps, expected] :
         { std::pair { Steps { { "key", "ctrl+l", "type", folder.native() + "/" }, { "key", "Return" } },
                       std::optional(folder.native()) },
           std::pair { Steps { { "key", "Escape" } }, std::optional<std::string>() } }) {
        std::thread player([&] {
            // The last dialog may still show until the main loop runs again.
            std::string id;
            EXPECT_TRUE(media::poll_until([&] {
                auto found = media::run({ "xdotool", "search", "--onlyvisible", "--name",
                                          fmt::format("^{}$", platform::pick_folder_title) });
                id = found.output.substr(0, found.output.find('\n'));
                return found.status == 0 && id != last_dialog; // fails when a window goes away during the search
            }));
            last_dialog = id;
            EXPECT_EQ((*shell)->pick_folder(), std::nullopt);
            for (auto step : steps) {
                step.insert(step.begin(), { "xdotool", "windowactivate", "--sync", id });
                EXPECT_EQ(media::run(step).status, 0);
            }
        });
        EXPECT_EQ(on_worker([&] { return (*shell)->pick_folder(); }), expected);
        player.join();
    }
}
