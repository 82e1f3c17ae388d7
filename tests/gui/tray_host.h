#pragma once

#include <gio/gio.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace agent::testing {

// A tray host of the tests' own on the session bus: the StatusNotifierWatcher that tray
// items register with, and a reader of the registered item and its menu
// (com.canonical.dbusmenu), the way a desktop panel reads them. It runs on a thread and a
// connection of its own, so it can call into the program under test while the test's
// thread (the program's GUI thread) keeps its loop running.
class TrayHost {
public:
    struct MenuItem {
        int id = 0;
        std::string label;
        std::string toggle_type;  // "checkmark" for the check item
        int toggle_state = -1;
        bool visible = true;
    };
    struct Item {
        std::string service;  // the item's bus name
        std::string path;     // its object path
    };

    TrayHost();
    ~TrayHost();

    // Takes the watcher's name; stop() gives it up, as when the panel exits.
    void start();
    void stop();

    // Registrations seen so far (a restarted item registers again).
    std::vector<Item> registrations() const;

    // These block the calling thread; the program's thread must keep its loop running
    // meanwhile, so tests call them through `async`.
    std::string property(const Item& item, const std::string& name);
    std::vector<MenuItem> menu(const Item& item);
    void click(const Item& item, int id);

    template <typename F>
    auto async(F function) {
        return std::async(std::launch::async, std::move(function));
    }

private:
    void run();
    void on_context(std::function<void()> work);
    GVariant* call(const std::string& service, const std::string& path, const char* interface, const char* method,
                   GVariant* parameters, const GVariantType* reply);
    static void on_method(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                          GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data);
    static GVariant* on_property(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                                 GError**, gpointer data);

    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* connection_ = nullptr;
    GDBusNodeInfo* node_ = nullptr;
    guint object_ = 0;
    guint name_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool ready_ = false;
    std::vector<Item> items_;
};

}  // namespace agent::testing
