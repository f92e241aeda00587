// A StatusNotifier watcher with a host for tests: owns org.kde.StatusNotifierWatcher on the session bus, says a
// host is registered, and prints "ready" once the name is owned, then "item SERVICE PATH" for each item that
// registers. Runs until killed.

#include <cstdio>
#include <string>

#include <gio/gio.h>

namespace {

constexpr char const* introspection = R"(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>)";

std::string items;

void on_call(GDBusConnection* bus, char const* sender, char const*, char const*, char const* method, GVariant* parameters,
             GDBusMethodInvocation* invocation, gpointer)
{
    if (std::string(method) == "RegisterStatusNotifierItem") {
        char const* service = nullptr;
        g_variant_get(parameters, "(&s)", &service);
        // Items give either their bus name or their object path; the sender is always the bus name.
        std::string path = service[0] == '/' ? service : "/StatusNotifierItem";
        std::printf("item %s %s\n", sender, path.c_str());
        std::fflush(stdout);
        items = std::string(sender) + path;
        g_dbus_connection_emit_signal(bus, nullptr, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                                      "StatusNotifierItemRegistered", g_variant_new("(s)", items.c_str()), nullptr);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* on_property(GDBusConnection*, char const*, char const*, char const*, char const* name, GError**, gpointer)
{
    std::string property = name;
    if (property == "IsStatusNotifierHostRegistered")
        return g_variant_new_boolean(TRUE);
    if (property == "ProtocolVersion")
        return g_variant_new_int32(0);
    GVariantBuilder list;
    g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
    if (!items.empty())
        g_variant_builder_add(&list, "s", items.c_str());
    return g_variant_builder_end(&list);
}

}

int main()
{
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspection, nullptr);
    static GDBusInterfaceVTable const vtable { on_call, on_property, nullptr, {} };
    g_bus_own_name(
        G_BUS_TYPE_SESSION, "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
        +[](GDBusConnection* bus, char const*, gpointer data) {
            g_dbus_connection_register_object(bus, "/StatusNotifierWatcher",
                                              static_cast<GDBusNodeInfo*>(data)->interfaces[0], &vtable, nullptr,
                                              nullptr, nullptr);
        },
        +[](GDBusConnection*, char const*, gpointer) {
            std::printf("ready\n");
            std::fflush(stdout);
        },
        +[](GDBusConnection*, char const*, gpointer) { std::exit(1); }, node, nullptr);
    g_main_loop_run(g_main_loop_new(nullptr, FALSE));
}
