// The desktop's handlers through GIO: files are handed over as URIs to the default application or to the
// file manager's D-Bus service, never through a command line built from a path. Opening and revealing run
// on the calling worker (GIO is thread-safe there); the folder dialog is GTK's and lives on the main thread,
// ended by its "response" signal while the worker waits for the player.

#include "platform/shell.h"

#include <atomic>

#include <gio/gio.h>
#include <gtk/gtk.h>

#include "platform/linux/handles.h"
#include "platform/linux/main_thread_call.h"
#include "platform/main_loop.h"

namespace platform {

namespace {

constexpr int show_items_timeout_ms = 5000;

std::optional<std::string> file_uri(std::filesystem::path const& path)
{
    std::error_code ec;
    auto absolute = std::filesystem::absolute(path, ec);
    handles::GChars uri(g_filename_to_uri((ec ? path : absolute).c_str(), nullptr, nullptr));
    if (!uri)
        return std::nullopt;
    return std::string(uri.get());
}

Result<void> launch_default(std::filesystem::path const& path)
{
    auto uri = file_uri(path);
    if (!uri)
        return fail(fmt::format("{}: not a file name", path.native()));
    GError* raw_error = nullptr;
    bool launched = g_app_info_launch_default_for_uri(uri->c_str(), nullptr, &raw_error);
    handles::GErr error(raw_error);
    if (!launched)
        return fail(error && error->message ? error->message : "no application");
    return {};
}

bool show_items(std::string const& uri)
{
    GError* raw_error = nullptr;
    handles::GObj<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw_error));
    handles::GErr bus_error(raw_error);
    if (!bus)
        return false;
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&uris, "s", uri.c_str());
    raw_error = nullptr;
    GVariant* result = g_dbus_connection_call_sync(bus.get(), "org.freedesktop.FileManager1",
                                                   "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1",
                                                   "ShowItems", g_variant_new("(ass)", &uris, ""), nullptr,
                                                   G_DBUS_CALL_FLAGS_NONE, show_items_timeout_ms, nullptr, &raw_error);
    handles::GErr call_error(raw_error);
    if (!result)
        return false;
    g_variant_unref(result);
    return true;
}

using FolderReply = ReplyBox<std::optional<std::string>>;

void release_dialog(gpointer dialog) noexcept { g_object_unref(dialog); }

void on_folder_response(GtkNativeDialog* dialog, gint response, gpointer data) noexcept
{
    auto* reply = static_cast<FolderReply*>(data);
    std::optional<std::string> chosen;
    if (response == GTK_RESPONSE_ACCEPT) {
        handles::GChars name(gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog)));
        // settings.json holds text: a folder whose name is not UTF-8 could not be kept.
        if (name && g_utf8_validate(name.get(), -1, nullptr))
            chosen = std::string(name.get());
    }
    (*reply)->set(std::move(chosen));
    // Not freed inside its own signal: the last reference goes once the emission is over.
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, [](gpointer d) noexcept -> gboolean {
        release_dialog(d);
        return G_SOURCE_REMOVE;
    }, dialog, nullptr);
}

void forget_reply(gpointer data, GClosure*) noexcept { delete static_cast<FolderReply*>(data); }

class GioShell final : public DesktopShell {
public:
    explicit GioShell(bool has_display)
        : m_has_display(has_display)
    {
    }

    Result<void> open(std::filesystem::path const& path) override { return launch_default(path); }

    Result<void> reveal(std::filesystem::path const& path) override
    {
        auto uri = file_uri(path);
        if (uri && show_items(*uri))
            return {};
        return launch_default(path.parent_path());
    }

    std::optional<std::string> pick_folder() override
    {
        bool expected = false;
        if (!m_has_display || !m_dialog_open.compare_exchange_strong(expected, true))
            return std::nullopt;
        auto reply = std::make_shared<MainThreadReply<std::optional<std::string>>>();
        invoke_on_main([reply] {
            GtkFileChooserNative* dialog = gtk_file_chooser_native_new(std::string(pick_folder_title).c_str(), nullptr,
                                                                       GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, nullptr,
                                                                       nullptr);
            g_signal_connect_data(dialog, "response", G_CALLBACK(on_folder_response), new FolderReply(reply),
                                  forget_reply, GConnectFlags(0));
            gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
        });
        // The player may take as long as they like.
        auto chosen = reply->wait();
        m_dialog_open.store(false);
        return chosen;
    }

private:
    bool const m_has_display;
    std::atomic<bool> m_dialog_open { false };
};

Result<std::shared_ptr<DesktopShell>> open_gio_shell()
{
    // Opening and revealing need no display; the folder dialog does, and answers nothing without one.
    return std::make_shared<GioShell>(gtk_init_check(nullptr, nullptr));
}

}

ShellDriver const gio_shell_driver { "gio", &open_gio_shell };

}
