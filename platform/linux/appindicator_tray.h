#pragma once
// The notification-area icon on libayatana-appindicator3: a StatusNotifier item when a host watches the
// session bus, else an XEmbed tray icon of our own. Main thread.

#include <memory>

#include "platform/window.h"

namespace platform {

Result<std::unique_ptr<TrayIcon>> open_appindicator_tray(TraySpec spec);

}
