#pragma once
// The desktop clipboard, for the page's "copy" and "paste". Page workers call it (the main thread only at
// exit); a driver whose toolkit lives on the main thread hands each call over there and waits a bounded time,
// so a busy or stopped main loop never holds a worker for long.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace platform {

class Clipboard {
public:
    virtual ~Clipboard() = default;
    // Offers one file, as a file to paste (never as text). The path is absolute. The error is the text
    // that follows "Copie impossible : ".
    virtual Result<void> put_file(std::filesystem::path const& path) = 0;
    // The clipboard's text ("" for an empty text), or nothing when it holds no text or cannot be read.
    virtual std::optional<std::string> text() = 0;
    // Main thread, once the main loop has ended: hands the file still offered to the desktop's clipboard
    // manager, when one runs, so that it stays pasteable after the program ends. Waits for the manager's
    // answer, 10 s at most.
    virtual void keep_after_exit() = 0;
};

struct ClipboardDriver {
    std::string_view name;
    // Main thread, after the toolkit may start: fails when there is no display.
    Result<std::shared_ptr<Clipboard>> (*open)();
};

// GTK's clipboard (platform/linux/gtk_clipboard.cpp).
extern ClipboardDriver const gtk_clipboard_driver;

// The text of a clipboard that is missing, refused the data or did not answer in time.
inline constexpr std::string_view clipboard_unavailable_text = "presse-papiers indisponible";

}
