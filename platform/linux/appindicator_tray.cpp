#include "platform/linux/appindicator_tray.h"

// GtkStatusIcon, deprecated, is GTK 3's only XEmbed tray icon, and XEmbed is the tray of desktops without a
// StatusNotifier host.
#define GDK_DISABLE_DEPRECATION_WARNINGS

#include <system_error>

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include "platform/linux/handles.h"

namespace platform {

namespace {

using handles::GObj;

class IndicatorTray;

// An indicator whose XEmbed fallback is our own status icon: the library's own opens the menu on a left
// click, where ours opens the window.
struct QuillIndicator {
    AppIndicator parent;
    IndicatorTray* owner;
};
struct QuillIndicatorClass {
    AppIndicatorClass parent_class;
};

GType quill_indicator_get_type();

class IndicatorTray final : public TrayIcon {
public:
    explicit IndicatorTray(TraySpec spec)
        : m_spec(std::move(spec))
    {
    }

    Result<void> open()
    {
        m_pixbuf = icon_pixbuf(m_spec.icon_rgba, m_spec.icon_size);
        if (!m_pixbuf)
            return fail("image de l'icône refusée");
        // Hosts load the image by name from a folder: it is written there as a PNG.
        std::error_code ec;
        std::filesystem::create_directories(m_spec.icon_folder, ec);
        auto png = (m_spec.icon_folder / (m_spec.id + ".png")).string();
        GError* error = nullptr;
        if (!gdk_pixbuf_save(m_pixbuf.get(), png.c_str(), "png", &error, nullptr)) {
            std::string text = error ? error->message : "PNG";
            g_clear_error(&error);
            return fail(text);
        }

        m_menu = GTK_MENU(g_object_ref_sink(gtk_menu_new()));
        m_open = add_item(m_spec.open_label, tray_open_item);
        add_item(m_spec.quit_label, tray_quit_item);
        gtk_widget_show_all(GTK_WIDGET(m_menu));

        auto folder = m_spec.icon_folder.string();
        m_indicator = static_cast<AppIndicator*>(g_object_new(quill_indicator_get_type(), "id", m_spec.id.c_str(),
                                                                "category", "ApplicationStatus", "icon-name",
                                                                m_spec.id.c_str(), "icon-theme-path", folder.c_str(),
                                                                nullptr));
        reinterpret_cast<QuillIndicator*>(m_indicator)->owner = this;
        app_indicator_set_title(m_indicator, m_spec.title.c_str());
        app_indicator_set_menu(m_indicator, m_menu);
        app_indicator_set_secondary_activate_target(m_indicator, m_open);
        app_indicator_set_status(m_indicator, APP_INDICATOR_STATUS_ACTIVE);
        return {};
    }

    ~IndicatorTray() override
    {
        if (m_indicator) {
            // Passive first: a host drops the item at once rather than when the bus name goes.
            app_indicator_set_status(m_indicator, APP_INDICATOR_STATUS_PASSIVE);
            reinterpret_cast<QuillIndicator*>(m_indicator)->owner = nullptr;
            g_object_unref(m_indicator);
        }
        if (m_status_icon) {
            gtk_status_icon_set_visible(m_status_icon, FALSE);
            g_object_unref(m_status_icon);
        }
        if (m_menu) {
            gtk_widget_destroy(GTK_WIDGET(m_menu));
            g_object_unref(m_menu);
        }
    }

    GtkStatusIcon* fallback()
    {
        if (!m_status_icon) {
            m_status_icon = gtk_status_icon_new_from_pixbuf(m_pixbuf.get());
            gtk_status_icon_set_tooltip_text(m_status_icon, m_spec.tooltip.c_str());
            gtk_status_icon_set_title(m_status_icon, m_spec.title.c_str());
            g_signal_connect(m_status_icon, "activate", G_CALLBACK(on_activate), this);
            g_signal_connect(m_status_icon, "popup-menu", G_CALLBACK(on_popup), this);
        }
        gtk_status_icon_set_visible(m_status_icon, TRUE);
        return m_status_icon;
    }

    void unfallback(GtkStatusIcon* icon)
    {
        if (icon == m_status_icon)
            gtk_status_icon_set_visible(icon, FALSE);
    }

private:
    GtkWidget* add_item(std::string const& label, char const* name)
    {
        GtkWidget* item = gtk_menu_item_new_with_label(label.c_str());
        g_object_set_data(G_OBJECT(item), "quillmar-item", const_cast<char*>(name));
        g_signal_connect(item, "activate", G_CALLBACK(on_item), this);
        gtk_menu_shell_append(GTK_MENU_SHELL(m_menu), item);
        return item;
    }

    static void on_item(GtkMenuItem* item, gpointer data) noexcept
    {
        auto* self = static_cast<IndicatorTray*>(data);
        auto const* name = static_cast<char const*>(g_object_get_data(G_OBJECT(item), "quillmar-item"));
        if (name && self->m_spec.on_menu)
            self->m_spec.on_menu(name);
    }

    static void on_activate(GtkStatusIcon*, gpointer data) noexcept
    {
        auto* self = static_cast<IndicatorTray*>(data);
        if (self->m_spec.on_click)
            self->m_spec.on_click({ TrayButton::Left, true });
    }

    static void on_popup(GtkStatusIcon* icon, guint button, guint time, gpointer data) noexcept
    {
        auto* self = static_cast<IndicatorTray*>(data);
        gtk_menu_popup(self->m_menu, nullptr, nullptr, gtk_status_icon_position_menu, icon, button, time);
    }

    TraySpec m_spec;
    GObj<GdkPixbuf> m_pixbuf;
    GtkMenu* m_menu { nullptr };
    GtkWidget* m_open { nullptr };
    AppIndicator* m_indicator { nullptr };
    GtkStatusIcon* m_status_icon { nullptr };
};

GtkStatusIcon* quill_fallback(AppIndicator* indicator)
{
    auto* owner = reinterpret_cast<QuillIndicator*>(indicator)->owner;
    return owner ? owner->fallback() : nullptr;
}

void quill_unfallback(AppIndicator* indicator, GtkStatusIcon* icon)
{
    if (auto* owner = reinterpret_cast<QuillIndicator*>(indicator)->owner)
        owner->unfallback(icon);
}

void quill_indicator_class_init(gpointer klass, gpointer)
{
    auto* indicator_class = static_cast<AppIndicatorClass*>(klass);
    indicator_class->fallback = quill_fallback;
    indicator_class->unfallback = quill_unfallback;
}

void quill_indicator_init(GTypeInstance* instance, gpointer)
{
    reinterpret_cast<QuillIndicator*>(instance)->owner = nullptr;
}

GType quill_indicator_get_type()
{
    static GType type = g_type_register_static_simple(APP_INDICATOR_TYPE, "QuillmarIndicator", sizeof(QuillIndicatorClass),
                                                      quill_indicator_class_init, sizeof(QuillIndicator),
                                                      quill_indicator_init, GTypeFlags(0));
    return type;
}

}

handles::GObj<GdkPixbuf> icon_pixbuf(std::span<std::uint8_t const> rgba, int size)
{
    GBytes* bytes = g_bytes_new(rgba.data(), rgba.size());
    handles::GObj<GdkPixbuf> pixbuf(
        gdk_pixbuf_new_from_bytes(bytes, GDK_COLORSPACE_RGB, TRUE, 8, size, size, size * 4));
    g_bytes_unref(bytes);
    return pixbuf;
}

Result<std::unique_ptr<TrayIcon>> open_appindicator_tray(TraySpec spec)
{
    auto tray = std::make_unique<IndicatorTray>(std::move(spec));
    TRY_VOID(tray->open());
    return std::unique_ptr<TrayIcon>(std::move(tray));
}

}
