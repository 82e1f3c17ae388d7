#include "bus_context.h"

#include <future>

namespace agent::testing {

GDBusConnection* connect_session_bus() {
    const gchar* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr)
        return nullptr;
    return g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
}

void run_on_context(GMainContext* context, std::function<void()> work) {
    struct Job {
        std::function<void()> work;
        std::promise<void> done;
    };
    auto* job = new Job{std::move(work), {}};
    auto done = job->done.get_future();
    g_main_context_invoke(
        context,
        [](gpointer data) -> gboolean {
            auto* job = static_cast<Job*>(data);
            job->work();
            job->done.set_value();
            delete job;
            return G_SOURCE_REMOVE;
        },
        job);
    done.wait();
}

}  // namespace agent::testing
