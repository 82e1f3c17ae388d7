#include "notice_service.h"

#include "bus_context.h"

#include <future>
#include <stdexcept>

namespace agent::testing {

namespace {

constexpr char NAME[] = "org.freedesktop.Notifications";
constexpr char PATH[] = "/org/freedesktop/Notifications";
constexpr char XML[] = R"(<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/><arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <property name="Inhibited" type="b" access="read"/>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
  </interface>
</node>)";

}  // namespace

NoticeService::NoticeService() {
    GError* error = nullptr;
    node_ = g_dbus_node_info_new_for_xml(XML, &error);
    if (node_ == nullptr)
        throw std::runtime_error(error->message);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    std::promise<void> ready;
    auto started = ready.get_future();
    thread_ = std::thread([this, &ready] {
        g_main_context_push_thread_default(context_);
        connection_ = connect_session_bus();
        ready.set_value();
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
    started.wait();
    if (connection_ == nullptr)
        throw std::runtime_error("The notification service cannot reach the session bus (run under dbus-run-session)");
}

NoticeService::~NoticeService() {
    stop();
    on_context([this] {
        g_object_unref(connection_);
        connection_ = nullptr;
        g_main_loop_quit(loop_);
    });
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    g_dbus_node_info_unref(node_);
}

void NoticeService::on_context(std::function<void()> work) {
    run_on_context(context_, std::move(work));
}

void NoticeService::start() {
    start(Options());
}

void NoticeService::start(Options options) {
    {
        std::lock_guard lock(mutex_);
        options_ = std::move(options);
    }
    on_context([this] {
        static const GDBusInterfaceVTable vtable{on_method, on_property, nullptr, {}};
        object_ = g_dbus_connection_register_object(connection_, PATH, node_->interfaces[0], &vtable, this, nullptr,
                                                    nullptr);
        name_ = g_bus_own_name_on_connection(connection_, NAME, G_BUS_NAME_OWNER_FLAGS_REPLACE, nullptr, nullptr,
                                             nullptr, nullptr);
    });
}

void NoticeService::stop() {
    on_context([this] {
        if (name_ != 0)
            g_bus_unown_name(name_);
        if (object_ != 0)
            g_dbus_connection_unregister_object(connection_, object_);
        name_ = 0;
        object_ = 0;
    });
}

void NoticeService::set_delay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    delay_ = delay;
}

void NoticeService::set_refusing(bool refusing) {
    std::lock_guard lock(mutex_);
    refusing_ = refusing;
}

void NoticeService::set_inhibited(bool inhibited) {
    {
        std::lock_guard lock(mutex_);
        options_.inhibited = inhibited;
    }
    on_context([this, inhibited] {
        GVariantBuilder changed;
        g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&changed, "{sv}", "Inhibited", g_variant_new_boolean(inhibited));
        g_dbus_connection_emit_signal(connection_, nullptr, PATH, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                      g_variant_new("(sa{sv}as)", NAME, &changed, nullptr), nullptr);
    });
}

std::vector<NoticeService::Notice> NoticeService::notices() const {
    std::lock_guard lock(mutex_);
    return notices_;
}

std::vector<NoticeService::Notice> NoticeService::shown() const {
    std::vector<Notice> open;
    for (const Notice& notice : notices())
        if (!notice.closed)
            open.push_back(notice);
    return open;
}

std::size_t NoticeService::notify_calls() const {
    std::lock_guard lock(mutex_);
    return notify_calls_;
}

void NoticeService::invoke(std::uint32_t id, const std::string& action) {
    on_context([this, id, action] {
        g_dbus_connection_emit_signal(connection_, nullptr, PATH, NAME, "ActionInvoked",
                                      g_variant_new("(us)", id, action.c_str()), nullptr);
        emit_closed(id, 2);
    });
}

void NoticeService::emit_closed(std::uint32_t id, std::uint32_t reason) {
    {
        std::lock_guard lock(mutex_);
        for (Notice& notice : notices_)
            if (notice.id == id)
                notice.closed = true;
    }
    g_dbus_connection_emit_signal(connection_, nullptr, PATH, NAME, "NotificationClosed",
                                  g_variant_new("(uu)", id, reason), nullptr);
}

void NoticeService::on_method(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                              GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto& service = *static_cast<NoticeService*>(data);
    if (g_str_equal(method, "Notify")) {
        service.notify(parameters, invocation);
        return;
    }
    if (g_str_equal(method, "CloseNotification")) {
        guint32 id = 0;
        g_variant_get(parameters, "(u)", &id);
        service.emit_closed(id, 3);
        g_dbus_method_invocation_return_value(invocation, nullptr);
        return;
    }
    if (g_str_equal(method, "GetCapabilities")) {
        GVariantBuilder list;
        g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
        {
            std::lock_guard lock(service.mutex_);
            for (const std::string& capability : service.options_.capabilities)
                g_variant_builder_add(&list, "s", capability.c_str());
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(as)", &list));
        return;
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(ssss)", "tests", "varnel", "1", "1.2"));
}

GVariant* NoticeService::on_property(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                                     GError** error, gpointer data) {
    auto& service = *static_cast<NoticeService*>(data);
    std::lock_guard lock(service.mutex_);
    if (g_str_equal(name, "Inhibited") && service.options_.inhibited)
        return g_variant_new_boolean(*service.options_.inhibited);
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", name);
    return nullptr;
}

void NoticeService::notify(GVariant* parameters, GDBusMethodInvocation* invocation) {
    Notice notice;
    const gchar* app_name = nullptr;
    const gchar* app_icon = nullptr;
    const gchar* summary = nullptr;
    const gchar* body = nullptr;
    GVariant* actions = nullptr;
    GVariant* hints = nullptr;
    gint32 timeout = 0;
    g_variant_get(parameters, "(&su&s&s&s@as@a{sv}i)", &app_name, &notice.replaces, &app_icon, &summary, &body,
                  &actions, &hints, &timeout);
    notice.app_name = app_name;
    notice.summary = summary;
    notice.body = body;
    for (gsize i = 0; i < g_variant_n_children(actions); ++i) {
        const gchar* text = nullptr;
        g_variant_get_child(actions, i, "&s", &text);
        notice.actions.push_back(text);
    }
    if (GVariant* image = g_variant_lookup_value(hints, "image-data", G_VARIANT_TYPE("(iiibiiay)"))) {
        gint32 width = 0;
        g_variant_get_child(image, 0, "i", &width);
        notice.image_width = width;
        g_variant_unref(image);
    }
    g_variant_unref(actions);
    g_variant_unref(hints);

    std::chrono::milliseconds delay{0};
    {
        std::lock_guard lock(mutex_);
        ++notify_calls_;
        delay = delay_;
        if (refusing_) {
            g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.Notifications.Error.Refused",
                                                       "Notices are turned off");
            return;
        }
        bool replaced = false;
        for (Notice& known : notices_) {
            if (notice.replaces != 0 && known.id == notice.replaces && !known.closed) {
                notice.id = known.id;
                known = notice;
                replaced = true;
            }
        }
        if (!replaced) {
            notice.id = ++next_id_;
            notices_.push_back(notice);
        }
    }
    GVariant* answer = g_variant_ref_sink(g_variant_new("(u)", notice.id));
    if (delay.count() == 0) {
        g_dbus_method_invocation_return_value(invocation, answer);
        g_variant_unref(answer);
        return;
    }
    // A slow service: the answer goes later (the invocation keeps itself until then).
    struct Later {
        GDBusMethodInvocation* invocation;
        GVariant* answer;
    };
    GSource* source = g_timeout_source_new(static_cast<guint>(delay.count()));
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto* later = static_cast<Later*>(data);
            g_dbus_method_invocation_return_value(later->invocation, later->answer);
            g_variant_unref(later->answer);
            delete later;
            return G_SOURCE_REMOVE;
        },
        new Later{invocation, answer}, nullptr);
    g_source_attach(source, context_);
    g_source_unref(source);
}

}  // namespace agent::testing
