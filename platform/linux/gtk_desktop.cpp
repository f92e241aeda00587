// The desktop on GTK 3 and WebKitGTK: the main window with its web view, monitors, the desktop's colour
// preference and main-loop timers. Main thread only.

#include "platform/window.h"

#include <cstdlib>
#include <cstring>

#include <fmt/format.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "platform/linux/appindicator_tray.h"
#include "platform/linux/handles.h"

namespace platform {

namespace {

using handles::GErr;
using handles::GObj;
using handles::GVar;

// org.freedesktop.appearance color-scheme from the settings portal: 1 prefers dark. Nothing when no portal
// answers quickly; the portal is never started for this.
std::optional<bool> portal_prefers_dark()
{
    GError* raw = nullptr;
    GObj<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    GErr error(raw);
    if (!bus)
        return std::nullopt;
    GVar reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Settings",
        "Read", g_variant_new("(ss)", "org.freedesktop.appearance", "color-scheme"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, 250, nullptr, nullptr));
    if (!reply)
        return std::nullopt;
    GVar value(g_variant_get_child_value(reply.get(), 0));
    // Older portals wrap the value in one more variant.
    while (value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_VARIANT))
        value.reset(g_variant_get_variant(value.get()));
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32))
        return std::nullopt;
    return g_variant_get_uint32(value.get()) == 1;
}

// org.gnome.desktop.interface color-scheme, looked up first: GSettings aborts the process on a missing schema.
std::optional<bool> gsettings_prefers_dark()
{
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (!source)
        return std::nullopt;
    std::unique_ptr<GSettingsSchema, handles::Free<&g_settings_schema_unref>> schema(
        g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE));
    if (!schema || !g_settings_schema_has_key(schema.get(), "color-scheme"))
        return std::nullopt;
    GObj<GSettings> settings(g_settings_new_full(schema.get(), nullptr, nullptr));
    std::unique_ptr<char, handles::Free<&g_free>> value(g_settings_get_string(settings.get(), "color-scheme"));
    return value && std::strcmp(value.get(), "prefer-dark") == 0;
}

class GtkAppWindow final : public AppWindow {
public:
    GtkAppWindow(WebKitWebContext* context, WindowSpec spec, WindowEvents events)
        : m_allow(std::move(spec.allow_navigation))
        , m_events(std::move(events))
    {
        // The page starts a clip with its sound when the player opens it, from a view transition's callback
        // that runs after the click: under WebKit's default policy (sound only after a gesture) play() is
        // refused there and the clip stays paused. The view shows nothing but the program's own page.
        WebKitWebsitePolicies* policies = webkit_website_policies_new_with_policies("autoplay", WEBKIT_AUTOPLAY_ALLOW, nullptr);
        m_view = WEBKIT_WEB_VIEW(
            g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "website-policies", policies, nullptr));
        g_object_unref(policies);
        WebKitSettings* settings = webkit_web_view_get_settings(m_view);
        webkit_settings_set_enable_developer_extras(settings, FALSE);
        webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
        g_signal_connect(m_view, "decide-policy", G_CALLBACK(on_decide_policy), this);
        g_signal_connect(m_view, "create", G_CALLBACK(on_create), this);
        g_signal_connect(m_view, "context-menu", G_CALLBACK(on_context_menu), this);
        g_signal_connect(m_view, "load-changed", G_CALLBACK(on_load_changed), this);
        g_signal_connect(m_view, "web-process-terminated", G_CALLBACK(on_terminated), this);
        g_signal_connect(m_view, "notify::is-web-process-responsive", G_CALLBACK(on_responsive), this);

        m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        auto* window = GTK_WINDOW(m_window);
        gtk_window_set_title(window, spec.title.c_str());
        if (auto icon = icon_pixbuf(spec.icon_rgba, spec.icon_size))
            gtk_window_set_icon(window, icon.get());
        GdkGeometry hints {};
        hints.min_width = spec.min_width;
        hints.min_height = spec.min_height;
        gtk_window_set_geometry_hints(window, nullptr, &hints, GDK_HINT_MIN_SIZE);
        gtk_window_set_default_size(window, spec.width, spec.height);
        if (spec.position)
            gtk_window_move(window, spec.position->first, spec.position->second);
        if (spec.maximized)
            gtk_window_maximize(window);
        gtk_container_add(GTK_CONTAINER(m_window), GTK_WIDGET(m_view));
        gtk_widget_show(GTK_WIDGET(m_view));
        g_signal_connect(m_window, "delete-event", G_CALLBACK(on_delete), this);
        g_signal_connect(m_window, "window-state-event", G_CALLBACK(on_window_state), this);
        // The toplevel's own focus, as the page's blur and focus follow it; an unmapped window has lost it even
        // where no focus event comes.
        g_signal_connect(m_window, "focus-in-event", G_CALLBACK(on_focus_in), this);
        g_signal_connect(m_window, "focus-out-event", G_CALLBACK(on_focus_out), this);
        g_signal_connect(m_window, "unmap-event", G_CALLBACK(on_focus_out), this);
        for (char const* signal : { "map", "style-updated" })
            g_signal_connect_after(m_window, signal, G_CALLBACK(+[](GtkWidget*, gpointer data) noexcept {
                                       static_cast<GtkAppWindow*>(data)->apply_variant();
                                   }),
                                   this);
        gtk_style_context_add_provider(gtk_widget_get_style_context(m_window), GTK_STYLE_PROVIDER(m_background.get()),
                                       GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        gtk_widget_realize(m_window);
        set_dark(spec.dark);
        webkit_web_view_load_uri(m_view, spec.start_url.c_str());
    }

    ~GtkAppWindow() override
    {
        g_signal_handlers_disconnect_by_data(m_view, this);
        g_signal_handlers_disconnect_by_data(m_window, this);
        gtk_widget_destroy(m_window);
    }

    std::unique_ptr<PageView> page_view() override { return webkit_page_view(m_view); }

    void make_visible() override
    {
        gtk_widget_show(m_window);
        m_shown = true;
        present();
    }

    void bring_forward() override
    {
        if (m_state & GDK_WINDOW_STATE_ICONIFIED)
            gtk_window_deiconify(GTK_WINDOW(m_window));
        if (m_shown)
            present();
    }

    void hide() override { gtk_widget_hide(m_window); }

    void set_dark(bool dark) override
    {
        m_dark = dark;
        // The view paints nothing until WebKit's first frame after the map: until then the window's own
        // background shows, the theme's light grey unless it takes the page's colour too.
        GdkRGBA background = dark ? GdkRGBA { 17 / 255.0, 18 / 255.0, 20 / 255.0, 1 } : GdkRGBA { 1, 1, 1, 1 };
        webkit_web_view_set_background_color(m_view, &background);
        gtk_css_provider_load_from_data(m_background.get(),
                                        dark ? "window { background: #111214; }" : "window { background: #fff; }", -1,
                                        nullptr);
        apply_variant();
    }

    // GTK writes its own variant (from its prefer-dark flag) whenever the window's style is updated.
    void apply_variant()
    {
        bool dark = m_dark;
        GdkWindow* window = gtk_widget_get_window(m_window);
        if (window && GDK_IS_X11_WINDOW(window))
            gdk_x11_window_set_theme_variant(window, const_cast<char*>(dark ? "dark" : "light"));
    }

    void set_fullscreen(bool on) override
    {
        if (on)
            gtk_window_fullscreen(GTK_WINDOW(m_window));
        else
            gtk_window_unfullscreen(GTK_WINDOW(m_window));
    }

    void reload() override { webkit_web_view_reload(m_view); }

    std::optional<Placement> placement() override
    {
        // A window never shown has no place of its own yet.
        if (!m_shown || (m_state & (GDK_WINDOW_STATE_FULLSCREEN | GDK_WINDOW_STATE_ICONIFIED)))
            return std::nullopt;
        int x = 0, y = 0, w = 0, h = 0;
        gtk_window_get_position(GTK_WINDOW(m_window), &x, &y);
        gtk_window_get_size(GTK_WINDOW(m_window), &w, &h);
        return Placement { double(x), double(y), double(w), double(h), (m_state & GDK_WINDOW_STATE_MAXIMIZED) != 0 };
    }

private:
    void present()
    {
        // A real server timestamp: window managers refuse to focus on a request stamped "now" (0) after the
        // player's last click elsewhere.
        GdkWindow* window = gtk_widget_get_window(m_window);
        guint32 stamp = window && GDK_IS_X11_WINDOW(window) ? gdk_x11_get_server_time(window) : GDK_CURRENT_TIME;
        gtk_window_present_with_time(GTK_WINDOW(m_window), stamp);
    }

    // Copied before the call: the shell may destroy this window from inside it.
    static void fire(std::function<void()> const& event)
    {
        if (auto copy = event)
            copy();
    }

    static gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                     gpointer data) noexcept
    {
        auto* self = static_cast<GtkAppWindow*>(data);
        if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
            webkit_policy_decision_ignore(decision);
            return TRUE;
        }
        if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
            return FALSE;
        WebKitNavigationAction* action
            = webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        char const* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        if (uri && self->m_allow && self->m_allow(uri))
            return FALSE;
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }

    static GtkWidget* on_create(WebKitWebView*, WebKitNavigationAction*, gpointer) noexcept { return nullptr; }

    static gboolean on_context_menu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer) noexcept
    {
        return TRUE;
    }

    static void on_load_changed(WebKitWebView*, WebKitLoadEvent event, gpointer data) noexcept
    {
        if (event == WEBKIT_LOAD_COMMITTED)
            fire(static_cast<GtkAppWindow*>(data)->m_events.page_committed);
    }

    static void on_terminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data) noexcept
    {
        // Our own termination of an unresponsive page has been reported already.
        if (reason != WEBKIT_WEB_PROCESS_TERMINATED_BY_API)
            fire(static_cast<GtkAppWindow*>(data)->m_events.page_failed);
    }

    static void on_responsive(WebKitWebView* view, GParamSpec*, gpointer data) noexcept
    {
        if (webkit_web_view_get_is_web_process_responsive(view))
            return;
        webkit_web_view_terminate_web_process(view);
        fire(static_cast<GtkAppWindow*>(data)->m_events.page_failed);
    }

    static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) noexcept
    {
        // Handled on a later turn: the shell destroys the window, which must not happen inside its own signal.
        struct Deferred {
            std::weak_ptr<bool> alive;
            GtkAppWindow* self;
        };
        auto* self = static_cast<GtkAppWindow*>(data);
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            +[](gpointer token) noexcept -> gboolean {
                auto* deferred = static_cast<Deferred*>(token);
                if (deferred->alive.lock())
                    fire(deferred->self->m_events.close_requested);
                return G_SOURCE_REMOVE;
            },
            new Deferred { self->m_alive, self }, [](gpointer token) { delete static_cast<Deferred*>(token); });
        return TRUE;
    }

    static gboolean on_focus_in(GtkWidget*, GdkEvent*, gpointer data) noexcept
    {
        if (auto copy = static_cast<GtkAppWindow*>(data)->m_events.focus_changed)
            copy(true);
        return FALSE;
    }

    static gboolean on_focus_out(GtkWidget*, GdkEvent*, gpointer data) noexcept
    {
        if (auto copy = static_cast<GtkAppWindow*>(data)->m_events.focus_changed)
            copy(false);
        return FALSE;
    }

    static gboolean on_window_state(GtkWidget*, GdkEventWindowState* event, gpointer data) noexcept
    {
        static_cast<GtkAppWindow*>(data)->m_state = event->new_window_state;
        return FALSE;
    }

    GtkWidget* m_window { nullptr };
    WebKitWebView* m_view { nullptr }; // owned by the window
    GObj<GtkCssProvider> m_background { gtk_css_provider_new() };
    std::function<bool(std::string_view)> m_allow;
    WindowEvents m_events;
    GdkWindowState m_state {};
    bool m_shown { false };
    bool m_dark { false };
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

class GtkDesktop final : public Desktop {
public:
    explicit GtkDesktop(std::filesystem::path web_data)
        : m_web_data(std::move(web_data))
    {
    }
    ~GtkDesktop() override
    {
        if (m_context)
            g_object_unref(m_context);
    }

    Result<std::unique_ptr<AppWindow>> open_window(WindowSpec spec, WindowEvents events) override
    {
        if (!m_context) {
            // One context for the run: its web process settings, its data folder and the scheme registered once.
            auto data = m_web_data.string();
            auto cache = (m_web_data / "cache").string();
            GObj<WebKitWebsiteDataManager> manager(WEBKIT_WEBSITE_DATA_MANAGER(g_object_new(
                WEBKIT_TYPE_WEBSITE_DATA_MANAGER, "base-data-directory", data.c_str(), "base-cache-directory",
                cache.c_str(), nullptr)));
            auto* context = WEBKIT_WEB_CONTEXT(g_object_new(WEBKIT_TYPE_WEB_CONTEXT, "website-data-manager", manager.get(), nullptr));
            // The page is the program's own: nothing to gain from a browser's page cache.
            webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
            auto registered = register_page_scheme(context, std::move(spec.scheme));
            if (!registered) {
                g_object_unref(context);
                return fail(registered.error());
            }
            m_context = context;
        }
        return std::make_unique<GtkAppWindow>(m_context, std::move(spec), std::move(events));
    }

    Result<std::unique_ptr<TrayIcon>> open_tray(TraySpec spec) override { return open_appindicator_tray(std::move(spec)); }

    std::vector<MonitorArea> monitors() override
    {
        std::vector<MonitorArea> list;
        GdkDisplay* display = gdk_display_get_default();
        if (!display)
            return list;
        for (int i = 0, n = gdk_display_get_n_monitors(display); i < n; ++i) {
            GdkMonitor* monitor = gdk_display_get_monitor(display, i);
            GdkRectangle area {};
            gdk_monitor_get_geometry(monitor, &area);
            int scale = gdk_monitor_get_scale_factor(monitor);
            list.push_back({ double(scale), area.x * scale, area.y * scale, (area.x + area.width) * scale,
                             (area.y + area.height) * scale });
        }
        return list;
    }

    bool prefers_dark() override
    {
        if (auto portal = portal_prefers_dark())
            return *portal;
        return gsettings_prefers_dark().value_or(false);
    }

    void after(std::chrono::milliseconds delay, std::function<void()> fn) override
    {
        g_timeout_add_full(
            G_PRIORITY_DEFAULT, guint(delay.count()),
            +[](gpointer data) noexcept -> gboolean {
                try {
                    (*static_cast<std::function<void()>*>(data))();
                } catch (...) {
                }
                return G_SOURCE_REMOVE;
            },
            new std::function<void()>(std::move(fn)), [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    }

private:
    std::filesystem::path m_web_data;
    WebKitWebContext* m_context { nullptr };
};

}

Result<std::unique_ptr<Desktop>> open_gtk_desktop(std::filesystem::path web_data_folder)
{
    if (!gtk_init_check(nullptr, nullptr)) {
        char const* name = std::getenv("DISPLAY");
        if (!name || !*name)
            return fail("Aucun écran : la variable DISPLAY est vide");
        return fail(fmt::format("Impossible d'ouvrir l'écran {}", name));
    }
    auto desktop = std::make_unique<GtkDesktop>(std::move(web_data_folder));
    // Pages follow GTK's preference for their prefers-color-scheme; it follows the desktop, never the page's own
    // theme command, which would otherwise feed back into the page.
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", gboolean(desktop->prefers_dark()), nullptr);
    return std::unique_ptr<Desktop>(std::move(desktop));
}

}
