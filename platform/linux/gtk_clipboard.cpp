// The clipboard through GTK. GTK lives on the main thread, so each call is handed over with
// invoke_on_main and the worker waits at most 5 s; the main thread never blocks and never runs a nested
// loop: reading goes through GTK's asynchronous requests, one callback leading to the next.
//
// A file is offered the way file managers offer a copied file: as a text/uri-list and as GNOME's
// "copy\n<uri>", and never as text, so pasting into a text field gets nothing rather than a path. An X11
// selection dies with its owner: both targets are also offered for storing, and at exit a clipboard manager
// (one that owns CLIPBOARD_MANAGER) takes a copy of them and serves them from then on.

#include "platform/clipboard.h"

#include <chrono>

#include <gtk/gtk.h>

#include "platform/linux/handles.h"
#include "platform/linux/main_thread_call.h"
#include "platform/main_loop.h"

namespace platform {

namespace {

constexpr std::chrono::milliseconds main_thread_wait { 5000 };

enum TargetInfo : guint { UriList = 0, GnomeCopiedFiles = 1 };

// What the clipboard serves while we own it; freed by GTK when another owner takes it.
struct OfferedFile {
    std::string uri_list;
    std::string gnome_copied;
};

void serve_file(GtkClipboard*, GtkSelectionData* selection, guint info, gpointer data) noexcept
{
    auto const* file = static_cast<OfferedFile const*>(data);
    auto const& bytes = info == GnomeCopiedFiles ? file->gnome_copied : file->uri_list;
    gtk_selection_data_set(selection, gtk_selection_data_get_target(selection), 8,
                           reinterpret_cast<guchar const*>(bytes.data()), static_cast<gint>(bytes.size()));
}

void forget_file(GtkClipboard*, gpointer data) noexcept { delete static_cast<OfferedFile*>(data); }

using TextReply = ReplyBox<std::optional<std::string>>;

void on_text(GtkClipboard*, gchar const* text, gpointer data) noexcept
{
    std::unique_ptr<TextReply> reply(static_cast<TextReply*>(data));
    // The targets promised text: GTK gives null for an empty one.
    (*reply)->set(std::string(text ? text : ""));
}

void on_targets(GtkClipboard* clipboard, GdkAtom* atoms, gint count, gpointer data) noexcept
{
    std::unique_ptr<TextReply> reply(static_cast<TextReply*>(data));
    if (!atoms || !gtk_targets_include_text(atoms, count)) {
        (*reply)->set(std::nullopt);
        return;
    }
    gtk_clipboard_request_text(clipboard, on_text, reply.release());
}

class GtkClipboardDriver final : public Clipboard {
public:
    Result<void> put_file(std::filesystem::path const& path) override
    {
        GError* raw_error = nullptr;
        // The URI escapes every byte that could split the list (space, line feed) or is not ASCII.
        handles::GChars uri(g_filename_to_uri(path.c_str(), nullptr, &raw_error));
        handles::GErr error(raw_error);
        if (!uri)
            return fail(error && error->message ? error->message : std::string(clipboard_unavailable_text));
        auto offered = std::make_shared<OfferedFile>(
            OfferedFile { fmt::format("{}\r\n", uri.get()), fmt::format("copy\n{}", uri.get()) });
        auto reply = std::make_shared<MainThreadReply<bool>>();
        invoke_on_main([reply, offered] {
            static GtkTargetEntry const targets[] = {
                { const_cast<gchar*>("text/uri-list"), 0, UriList },
                { const_cast<gchar*>("x-special/gnome-copied-files"), 0, GnomeCopiedFiles },
            };
            auto* owned = new OfferedFile(*offered);
            auto* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
            bool taken = gtk_clipboard_set_with_data(clipboard, targets, G_N_ELEMENTS(targets), serve_file,
                                                     forget_file, owned);
            // A refused offer never calls the clear function.
            if (!taken)
                delete owned;
            else
                gtk_clipboard_set_can_store(clipboard, targets, G_N_ELEMENTS(targets));
            reply->set(taken);
        });
        auto taken = reply->wait_for(main_thread_wait);
        if (!taken || !*taken)
            return fail(std::string(clipboard_unavailable_text));
        return {};
    }

    std::optional<std::string> text() override
    {
        auto reply = std::make_shared<MainThreadReply<std::optional<std::string>>>();
        invoke_on_main([reply] {
            gtk_clipboard_request_targets(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), on_targets, new TextReply(reply));
        });
        auto text = reply->wait_for(main_thread_wait);
        return text ? *text : std::nullopt;
    }

    // GTK runs a loop of its own until the manager has copied the data (or 10 s passed); it does nothing when
    // another program owns the clipboard by now or no manager runs.
    void keep_after_exit() override { gtk_clipboard_store(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD)); }
};

Result<std::shared_ptr<Clipboard>> open_gtk_clipboard()
{
    if (!gtk_init_check(nullptr, nullptr))
        return fail(std::string(clipboard_unavailable_text));
    return std::make_shared<GtkClipboardDriver>();
}

}

ClipboardDriver const gtk_clipboard_driver { "gtk", &open_gtk_clipboard };

}
