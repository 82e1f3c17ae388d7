#pragma once

#include <gio/gio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace agent::testing {

// A desktop notification service of the tests' own (org.freedesktop.Notifications) on the
// session bus: it records every Notify and CloseNotification, and invokes actions and
// dismisses notices the way a desktop's notification centre does. It can answer slowly,
// refuse, ask for quiet (`Inhibited`) and leave the bus. It runs on a thread and a
// connection of its own, so the program under test keeps its loop on the test's thread.
class NoticeService {
public:
    struct Notice {
        std::uint32_t id = 0;
        std::uint32_t replaces = 0;
        std::string app_name;
        std::string summary;
        std::string body;
        std::vector<std::string> actions;  // key, label, key, label, ...
        int image_width = 0;               // of the "image-data" hint; 0 without one
        bool closed = false;               // CloseNotification came for it
    };
    struct Options {
        std::vector<std::string> capabilities{"actions", "body", "body-markup"};
        std::optional<bool> inhibited;  // none: the service has no such property
    };

    NoticeService();
    ~NoticeService();

    // Takes the service's name with these options; stop() gives it up (the service ends).
    void start();
    void start(Options options);
    void stop();

    // Answers to Notify wait this long from now on; refused ones get an error.
    void set_delay(std::chrono::milliseconds delay);
    void set_refusing(bool refusing);
    // Changes `Inhibited` and says so (PropertiesChanged), as a desktop's do-not-disturb does.
    void set_inhibited(bool inhibited);

    // Every notice, in the order the Notify calls came (a replacement updates its notice).
    std::vector<Notice> notices() const;
    // Those not closed, in order.
    std::vector<Notice> shown() const;
    std::size_t notify_calls() const;

    // The user clicks the action (or the notice itself: "default"); the notice closes
    // after it, as most services do.
    void invoke(std::uint32_t id, const std::string& action);

private:
    void run();
    void on_context(std::function<void()> work);
    static void on_method(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                          GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data);
    static GVariant* on_property(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                                 GError** error, gpointer data);
    void notify(GVariant* parameters, GDBusMethodInvocation* invocation);
    void emit_closed(std::uint32_t id, std::uint32_t reason);

    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* connection_ = nullptr;
    GDBusNodeInfo* node_ = nullptr;
    guint object_ = 0;
    guint name_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    Options options_;
    std::chrono::milliseconds delay_{0};
    bool refusing_ = false;
    std::uint32_t next_id_ = 0;
    std::size_t notify_calls_ = 0;
    std::vector<Notice> notices_;
};

}  // namespace agent::testing
