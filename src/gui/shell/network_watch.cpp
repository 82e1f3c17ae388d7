#include "gui/shell/network_watch.h"

#include "details/logger.h"

namespace varnelagent {

namespace {

constexpr const wchar_t* NAME = L"varnelagent::NetworkWatch::NetworkWatch";

constexpr const char* LOGIND_NAME = "org.freedesktop.login1";
constexpr const char* LOGIND_PATH = "/org/freedesktop/login1";
constexpr const char* LOGIND_MANAGER = "org.freedesktop.login1.Manager";

}  // namespace

NetworkWatch::NetworkWatch(Action action, GDBusConnection* bus, GNetworkMonitor* monitor,
                           std::chrono::milliseconds settle)
    : action_(std::move(action)), settle_(settle) {
    if (bus != nullptr) {
        bus_.reset(G_DBUS_CONNECTION(g_object_ref(bus)));
    } else {
        GError* error = nullptr;
        bus_.reset(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error));
        if (!bus_) {
            AGENT_WARN(NAME) << "No system bus, so waking from sleep goes unnoticed: "
                             << (error != nullptr ? error->message : "");
            g_clear_error(&error);
        }
    }
    if (bus_) {
        // Only logind itself (the owner of its name) is listened to.
        subscription_ = g_dbus_connection_signal_subscribe(bus_.get(), LOGIND_NAME, LOGIND_MANAGER, "PrepareForSleep",
                                                           LOGIND_PATH, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                           &NetworkWatch::on_prepare_for_sleep, this, nullptr);
    }
    monitor_.reset(G_NETWORK_MONITOR(g_object_ref(monitor != nullptr ? monitor : g_network_monitor_get_default())));
    network_handler_ =
        g_signal_connect(monitor_.get(), "network-changed", G_CALLBACK(&NetworkWatch::on_network_changed), this);
}

NetworkWatch::~NetworkWatch() {
    if (settle_source_ != 0)
        g_source_remove(settle_source_);
    g_signal_handler_disconnect(monitor_.get(), network_handler_);
    if (subscription_ != 0)
        g_dbus_connection_signal_unsubscribe(bus_.get(), subscription_);
}

// GUI thread (the main context the watch was made on).
void NetworkWatch::on_prepare_for_sleep(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                        GVariant* parameters, gpointer self) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)")))
        return;
    gboolean going_to_sleep = TRUE;
    g_variant_get(parameters, "(b)", &going_to_sleep);
    if (going_to_sleep)
        return;
    AGENT_INFO(NAME) << "The system woke up";
    static_cast<NetworkWatch*>(self)->action_();
}

// GUI thread.
void NetworkWatch::on_network_changed(GNetworkMonitor*, gboolean available, gpointer self) {
    auto* watch = static_cast<NetworkWatch*>(self);
    // Without a network a new connection would only fail; the change that brings it back
    // comes as its own signal.
    if (!available)
        return;
    if (watch->settle_source_ != 0)
        g_source_remove(watch->settle_source_);
    watch->settle_source_ =
        g_timeout_add(static_cast<guint>(watch->settle_.count()), &NetworkWatch::on_settled, watch);
}

// GUI thread.
gboolean NetworkWatch::on_settled(gpointer self) {
    auto* watch = static_cast<NetworkWatch*>(self);
    watch->settle_source_ = 0;
    AGENT_INFO(NAME) << "The network changed";
    watch->action_();
    return G_SOURCE_REMOVE;
}

}  // namespace varnelagent
