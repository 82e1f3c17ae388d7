// The resume and network signals that make the message stream reconnect, on a private
// D-Bus session (ctest runs this under dbus-run-session): the session bus stands in for the
// system bus, and the test owns logind's name on it. The machine's network cannot be
// changed from a test, so a monitor of the test's own emits GIO's "network-changed".
#include <gio/gio.h>

// --- a network monitor the test drives -----------------------------------------------------
struct TestMonitor {
    GObject parent;
};
struct TestMonitorClass {
    GObjectClass parent_class;
};
static void test_monitor_interface_init(GNetworkMonitorInterface*) {}
static gboolean test_monitor_initable_init(GInitable*, GCancellable*, GError**) { return TRUE; }
static void test_monitor_initable_interface_init(GInitableIface* initable) {
    initable->init = test_monitor_initable_init;
}
G_DEFINE_TYPE_WITH_CODE(TestMonitor, test_monitor, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(G_TYPE_INITABLE, test_monitor_initable_interface_init)
                            G_IMPLEMENT_INTERFACE(G_TYPE_NETWORK_MONITOR, test_monitor_interface_init))
static void test_monitor_get_property(GObject*, guint id, GValue* value, GParamSpec*) {
    if (id == 3)
        g_value_set_enum(value, G_NETWORK_CONNECTIVITY_FULL);
    else
        g_value_set_boolean(value, id == 1);
}
static void test_monitor_class_init(TestMonitorClass* type) {
    G_OBJECT_CLASS(type)->get_property = test_monitor_get_property;
    g_object_class_override_property(G_OBJECT_CLASS(type), 1, "network-available");
    g_object_class_override_property(G_OBJECT_CLASS(type), 2, "network-metered");
    g_object_class_override_property(G_OBJECT_CLASS(type), 3, "connectivity");
}
static void test_monitor_init(TestMonitor*) {}

#include <chrono>
#include <memory>

#include "gui/shell/network_watch.h"
#include "support/sandbox.h"

namespace agent::testing {
namespace {

using namespace std::chrono_literals;
using varnelagent::NetworkWatch;

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using Object = std::unique_ptr<T, ObjectUnref>;

// Turns the default main context until the predicate holds or the time is up.
bool run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(1000);
    }
    return true;
}

// Turns the main context for a while: time for anything that should not happen.
void run_for(std::chrono::milliseconds duration) {
    bool done = false;
    g_timeout_add(static_cast<guint>(duration.count()), [](gpointer flag) {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
    }, &done);
    run_until([&] { return done; });
}

Object<GNetworkMonitor> test_monitor() {
    return Object<GNetworkMonitor>(G_NETWORK_MONITOR(g_object_new(test_monitor_get_type(), nullptr)));
}

void network_changed(GNetworkMonitor* monitor, bool available) {
    g_signal_emit_by_name(monitor, "network-changed", available ? TRUE : FALSE);
}

Object<GDBusConnection> connect_session() {
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    EXPECT_NE(address, nullptr) << (error ? error->message : "") << " (run under dbus-run-session)";
    if (address == nullptr) {
        g_clear_error(&error);
        return nullptr;
    }
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address, static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
    EXPECT_NE(connection, nullptr) << (error ? error->message : "");
    g_clear_error(&error);
    return Object<GDBusConnection>(connection);
}

void emit_prepare_for_sleep(GDBusConnection* from, bool sleeping) {
    GError* error = nullptr;
    EXPECT_TRUE(g_dbus_connection_emit_signal(from, nullptr, "/org/freedesktop/login1",
                                              "org.freedesktop.login1.Manager", "PrepareForSleep",
                                              g_variant_new("(b)", sleeping ? TRUE : FALSE), &error));
    g_clear_error(&error);
    EXPECT_TRUE(g_dbus_connection_flush_sync(from, nullptr, nullptr));
}

class NetworkWatchTest : public SandboxTest {};

TEST_F(NetworkWatchTest, WakingFromSleepCallsAtOnceAndOnlyFromLogind) {
    const Object<GDBusConnection> agent_bus = connect_session();
    const Object<GDBusConnection> logind = connect_session();
    const Object<GDBusConnection> impostor = connect_session();
    ASSERT_TRUE(agent_bus && logind && impostor);
    bool owned = false;
    const guint owner = g_bus_own_name_on_connection(
        logind.get(), "org.freedesktop.login1", G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, gpointer flag) { *static_cast<bool*>(flag) = true; }, nullptr, &owned,
        nullptr);
    ASSERT_TRUE(run_until([&] { return owned; }));

    int calls = 0;
    const auto monitor = test_monitor();
    {
        NetworkWatch watch([&] { ++calls; }, agent_bus.get(), monitor.get());
        EXPECT_TRUE(watch.watches_sleep());
        // Going to sleep is not a reason; a sender that is not logind is not believed. One
        // bus delivers in order, so the single call below is the last signal's.
        emit_prepare_for_sleep(logind.get(), true);
        emit_prepare_for_sleep(impostor.get(), false);
        emit_prepare_for_sleep(logind.get(), false);
        ASSERT_TRUE(run_until([&] { return calls > 0; }));
        EXPECT_EQ(calls, 1);
    }
    // Gone: a signal after the watch calls nothing.
    emit_prepare_for_sleep(logind.get(), false);
    run_for(200ms);
    EXPECT_EQ(calls, 1);
    g_bus_unown_name(owner);
}

TEST_F(NetworkWatchTest, ABurstOfNetworkChangesIsOneCallAndLosingTheNetworkNone) {
    const auto monitor = test_monitor();
    int calls = 0;
    NetworkWatch watch([&] { ++calls; }, nullptr, monitor.get(), 150ms);
    network_changed(monitor.get(), false);
    const auto back = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i)
        network_changed(monitor.get(), true);
    ASSERT_TRUE(run_until([&] { return calls > 0; }));
    EXPECT_GE(std::chrono::steady_clock::now() - back, 150ms);
    run_for(400ms);
    EXPECT_EQ(calls, 1);
    // Lost again: nothing to reconnect to.
    network_changed(monitor.get(), false);
    run_for(400ms);
    EXPECT_EQ(calls, 1);
}

TEST_F(NetworkWatchTest, AChangeStillSettlingWhenTheWatchGoesCallsNothing) {
    const auto monitor = test_monitor();
    int calls = 0;
    auto watch = std::make_unique<NetworkWatch>([&] { ++calls; }, nullptr, monitor.get(), 100ms);
    network_changed(monitor.get(), true);
    watch.reset();
    network_changed(monitor.get(), true);
    run_for(300ms);
    EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace agent::testing
