// What the tests' own D-Bus services (the tray host, the notification service) share: a
// connection of their own to the session bus, served on a private main context and thread.
#pragma once

#include <gio/gio.h>

#include <functional>

namespace agent::testing {

// A new connection to the session bus of DBUS_SESSION_BUS_ADDRESS, or nullptr without one.
// Called on the thread whose default context is to serve it.
GDBusConnection* connect_session_bus();

// Runs the work on the context's own thread and waits until it is done.
void run_on_context(GMainContext* context, std::function<void()> work);

}  // namespace agent::testing
