# System libraries, each as an imported target from pkg-config. Only platform_linux (and the tests that
# exercise it) link these; core and engine never see an OS header.
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11 xext xfixes xrandr xres)
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-shm xcb-keysyms xcb-xkb xcb-randr xcb-xfixes xcb-shape xcb-res)
pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo pangocairo)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale libswresample)
pkg_check_modules(VA REQUIRED IMPORTED_TARGET libva libva-drm)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(GTK REQUIRED IMPORTED_TARGET gtk+-3.0)
pkg_check_modules(WEBKIT REQUIRED IMPORTED_TARGET webkit2gtk-4.1)
pkg_check_modules(APPINDICATOR REQUIRED IMPORTED_TARGET ayatana-appindicator3-0.1)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0 glib-2.0)
# libyuv ships no pkg-config file.
find_library(YUV_LIBRARY yuv REQUIRED)
