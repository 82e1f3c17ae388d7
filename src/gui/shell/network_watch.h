#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <gio/gio.h>

namespace varnelagent {

// Tells the agent when its message stream should reconnect at once instead of waiting for
// the silence limit: the system has woken from sleep (logind's "PrepareForSleep" signal with
// false), or the network has come back or changed (GIO's network monitor reporting an
// available network). The action (typically MessageService::reconnect_message_stream) is
// called on the main context of the thread that made the watch, the GUI thread.
class NetworkWatch {
public:
    using Action = std::function<void()>;

    // Network changes come in bursts (a link, then its addresses, then its routes) and the
    // new route may take a moment: a burst becomes one call this long after its last change.
    static constexpr std::chrono::milliseconds SETTLE{1000};

    // Watches logind on `bus` and the network through `monitor`; null means the system bus
    // and the default monitor. Without a system bus (a container, a test) only the network
    // is watched; that is logged, not thrown.
    explicit NetworkWatch(Action action, GDBusConnection* bus = nullptr, GNetworkMonitor* monitor = nullptr,
                          std::chrono::milliseconds settle = SETTLE);
    // Nothing is called after this.
    ~NetworkWatch();
    NetworkWatch(const NetworkWatch&) = delete;
    NetworkWatch& operator=(const NetworkWatch&) = delete;

    bool watches_sleep() const noexcept { return subscription_ != 0; }

private:
    struct ObjectUnref {
        void operator()(gpointer object) const { g_object_unref(object); }
    };

    static void on_prepare_for_sleep(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                     GVariant* parameters, gpointer self);
    static void on_network_changed(GNetworkMonitor*, gboolean available, gpointer self);
    static gboolean on_settled(gpointer self);

    Action action_;
    std::chrono::milliseconds settle_;
    std::unique_ptr<GDBusConnection, ObjectUnref> bus_;
    std::unique_ptr<GNetworkMonitor, ObjectUnref> monitor_;
    guint subscription_ = 0;
    gulong network_handler_ = 0;
    guint settle_source_ = 0;
};

}  // namespace varnelagent
