#include "tray_host.h"

#include "bus_context.h"

#include <stdexcept>

namespace agent::testing {

namespace {

constexpr char WATCHER_NAME[] = "org.kde.StatusNotifierWatcher";
constexpr char WATCHER_PATH[] = "/StatusNotifierWatcher";
constexpr char WATCHER_XML[] = R"(<node>
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

std::string string_of(GVariant* value) {
    if (value == nullptr)
        return {};
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) || g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH))
        return g_variant_get_string(value, nullptr);
    gchar* text = g_variant_print(value, FALSE);
    std::string result = text;
    g_free(text);
    return result;
}

}  // namespace

TrayHost::TrayHost() {
    GError* error = nullptr;
    node_ = g_dbus_node_info_new_for_xml(WATCHER_XML, &error);
    if (node_ == nullptr)
        throw std::runtime_error(error->message);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    thread_ = std::thread([this] { run(); });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return ready_; });
    if (connection_ == nullptr)
        throw std::runtime_error("The tray host cannot reach the session bus (run the tests under dbus-run-session)");
}

TrayHost::~TrayHost() {
    stop();
    on_context([this] {
        if (connection_ != nullptr)
            g_object_unref(connection_);
        connection_ = nullptr;
        g_main_loop_quit(loop_);
    });
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    g_dbus_node_info_unref(node_);
}

void TrayHost::run() {
    g_main_context_push_thread_default(context_);
    connection_ = connect_session_bus();
    {
        std::lock_guard lock(mutex_);
        ready_ = true;
    }
    changed_.notify_all();
    g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
}

void TrayHost::on_context(std::function<void()> work) {
    run_on_context(context_, std::move(work));
}

void TrayHost::start() {
    on_context([this] {
        static const GDBusInterfaceVTable vtable{on_method, on_property, nullptr, {}};
        object_ = g_dbus_connection_register_object(connection_, WATCHER_PATH, node_->interfaces[0], &vtable, this,
                                                    nullptr, nullptr);
        name_ = g_bus_own_name_on_connection(connection_, WATCHER_NAME, G_BUS_NAME_OWNER_FLAGS_REPLACE, nullptr,
                                             nullptr, nullptr, nullptr);
    });
}

void TrayHost::stop() {
    on_context([this] {
        if (name_ != 0)
            g_bus_unown_name(name_);
        if (object_ != 0)
            g_dbus_connection_unregister_object(connection_, object_);
        name_ = 0;
        object_ = 0;
    });
}

std::vector<TrayHost::Item> TrayHost::registrations() const {
    std::lock_guard lock(mutex_);
    return items_;
}

void TrayHost::on_method(GDBusConnection* connection, const gchar* sender, const gchar*, const gchar*,
                         const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                         gpointer data) {
    auto& host = *static_cast<TrayHost*>(data);
    if (g_str_equal(method, "RegisterStatusNotifierItem")) {
        const gchar* service = nullptr;
        g_variant_get(parameters, "(&s)", &service);
        Item item;
        // Items name either their object path (then the sender is the bus name) or a bus name.
        if (service[0] == '/') {
            item.service = sender;
            item.path = service;
        } else {
            item.service = service;
            item.path = "/StatusNotifierItem";
        }
        {
            std::lock_guard lock(host.mutex_);
            host.items_.push_back(item);
        }
        g_dbus_connection_emit_signal(connection, nullptr, WATCHER_PATH, "org.kde.StatusNotifierWatcher",
                                      "StatusNotifierItemRegistered",
                                      g_variant_new("(s)", (item.service + item.path).c_str()), nullptr);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* TrayHost::on_property(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                                GError**, gpointer data) {
    auto& host = *static_cast<TrayHost*>(data);
    if (g_str_equal(name, "IsStatusNotifierHostRegistered"))
        return g_variant_new_boolean(TRUE);
    if (g_str_equal(name, "ProtocolVersion"))
        return g_variant_new_int32(0);
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    std::lock_guard lock(host.mutex_);
    for (const auto& item : host.items_)
        g_variant_builder_add(&builder, "s", (item.service + item.path).c_str());
    return g_variant_builder_end(&builder);
}

GVariant* TrayHost::call(const std::string& service, const std::string& path, const char* interface,
                         const char* method, GVariant* parameters, const GVariantType* reply) {
    GError* error = nullptr;
    GVariant* result = g_dbus_connection_call_sync(connection_, service.c_str(), path.c_str(), interface, method,
                                                   parameters, reply, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (result == nullptr) {
        const std::string text = error->message;
        g_error_free(error);
        throw std::runtime_error(text);
    }
    return result;
}

std::string TrayHost::property(const Item& item, const std::string& name) {
    GVariant* result = call(item.service, item.path, "org.freedesktop.DBus.Properties", "Get",
                            g_variant_new("(ss)", "org.kde.StatusNotifierItem", name.c_str()), G_VARIANT_TYPE("(v)"));
    GVariant* value = nullptr;
    g_variant_get(result, "(v)", &value);
    std::string text = string_of(value);
    g_variant_unref(value);
    g_variant_unref(result);
    return text;
}

std::vector<TrayHost::MenuItem> TrayHost::menu(const Item& item) {
    const std::string path = property(item, "Menu");
    GVariant* result = call(item.service, path, "com.canonical.dbusmenu", "GetLayout",
                            g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)),
                            G_VARIANT_TYPE("(u(ia{sv}av))"));
    GVariant* layout = g_variant_get_child_value(result, 1);
    GVariant* children = g_variant_get_child_value(layout, 2);
    std::vector<MenuItem> items;
    for (gsize i = 0; i < g_variant_n_children(children); ++i) {
        GVariant* boxed = g_variant_get_child_value(children, i);
        GVariant* child = g_variant_get_variant(boxed);
        MenuItem entry;
        GVariant* properties = nullptr;
        g_variant_get(child, "(i@a{sv}@av)", &entry.id, &properties, nullptr);
        GVariantDict dict;
        g_variant_dict_init(&dict, properties);
        const gchar* text = nullptr;
        if (g_variant_dict_lookup(&dict, "label", "&s", &text))
            entry.label = text;
        if (g_variant_dict_lookup(&dict, "toggle-type", "&s", &text))
            entry.toggle_type = text;
        gint32 state = -1;
        if (g_variant_dict_lookup(&dict, "toggle-state", "i", &state))
            entry.toggle_state = state;
        gboolean visible = TRUE;
        if (g_variant_dict_lookup(&dict, "visible", "b", &visible))
            entry.visible = visible;
        g_variant_dict_clear(&dict);
        g_variant_unref(properties);
        g_variant_unref(child);
        g_variant_unref(boxed);
        items.push_back(entry);
    }
    g_variant_unref(children);
    g_variant_unref(layout);
    g_variant_unref(result);
    return items;
}

void TrayHost::click(const Item& item, int id) {
    const std::string path = property(item, "Menu");
    GVariant* result = call(item.service, path, "com.canonical.dbusmenu", "Event",
                            g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), nullptr);
    g_variant_unref(result);
}

}  // namespace agent::testing
