#pragma once
// The notification-area icon on libayatana-appindicator3: a StatusNotifier item when a host watches the
// session bus, else an XEmbed tray icon of our own. Main thread.

#include <cstdint>
#include <memory>
#include <span>

#include "platform/linux/handles.h"
#include "platform/window.h"

typedef struct _GdkPixbuf GdkPixbuf;

namespace platform {

// The program's icon, size x size RGBA pixels with rows top to bottom, as a pixbuf of its own (the pixels are
// copied); empty when GDK refuses it. Both the tray and the window show it.
handles::GObj<GdkPixbuf> icon_pixbuf(std::span<std::uint8_t const> rgba, int size);

Result<std::unique_ptr<TrayIcon>> open_appindicator_tray(TraySpec spec);

}
