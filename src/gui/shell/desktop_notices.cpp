#include "gui/shell/desktop_notices.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "details/glib_ptr.h"
#include "details/logger.h"
#include "details/lru_cache.h"
#include "details/strings.h"
#include "gui/engine/resources.h"
#include "gui/error.h"
#include "gui/shell/tray_icon.h"
#include "gui/shell_messages.h"
#include "model/notice_text.h"
#include "model/uri_service.h"
#include "winhttp/api_call.h"
#include "winhttp/simple_client.h"

namespace varnelagent {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

namespace {

constexpr char NAME[] = "org.freedesktop.Notifications";
constexpr char PATH[] = "/org/freedesktop/Notifications";
constexpr char APP_NAME[] = "Варнел.Агент";
constexpr char APP_ICON[] = "varnel-agent";
constexpr char GNOME_SCHEMA[] = "org.gnome.desktop.notifications";
constexpr char GNOME_BANNERS[] = "show-banners";
constexpr wchar_t CONTEXT[] = L"varnelagent::DesktopNotices";
constexpr wchar_t FETCH_ICON[] = L"varnelagent::DesktopNotices::fetch_icon";

// Each wait of an icon request (connecting, the answer, each piece of the body): anything
// slower is not worth holding a notice for. Its size is the link service's bound.
constexpr std::chrono::milliseconds ICON_LIMIT{1000};
// The largest side of a notice's image; bigger icons are scaled down while they load.
constexpr int ICON_SIDE = 128;
constexpr std::size_t SUMMARY_LIMIT = 120;
constexpr std::size_t BODY_LINE_LIMIT = 240;
constexpr std::size_t ICON_CACHE = 32;

using Variant = agent::details::GPtr<GVariant>;
template <typename T>
using Object = agent::details::GPtr<T>;

// --- markup -------------------------------------------------------------------------

std::string escape_markup(const std::string& text) {
    gchar* escaped = g_markup_escape_text(text.c_str(), static_cast<gssize>(text.size()));
    std::string result = escaped;
    g_free(escaped);
    return result;
}

// --- images ---------------------------------------------------------------------------

// The "image-data" hint (iiibiiay) of an image file's bytes; null when they are no image.
Variant image_data(const std::string& bytes) {
    if (bytes.empty() || bytes.size() > agent::ICON_MAX_BYTES)
        return nullptr;
    // Only the formats the pages use, each by its own loader: the bytes never reach a
    // decoder that guessed them to be something else.
    const char* mime = agent::mime_type(agent::image_format(bytes));
    if (mime == nullptr) {
        AGENT_WARN(CONTEXT) << "Not an image of a known format";
        return nullptr;
    }
    GError* error = nullptr;
    Object<GdkPixbufLoader> loader(gdk_pixbuf_loader_new_with_mime_type(mime, &error));
    if (!loader) {
        AGENT_WARN(CONTEXT) << "No loader for " << mime << ": " << (error != nullptr ? error->message : "");
        if (error != nullptr)
            g_error_free(error);
        return nullptr;
    }
    g_signal_connect(loader.get(), "size-prepared",
                     G_CALLBACK(+[](GdkPixbufLoader* self, gint width, gint height, gpointer) {
                         const int side = std::max(width, height);
                         if (side > ICON_SIDE && width > 0 && height > 0)
                             gdk_pixbuf_loader_set_size(self, std::max(1, width * ICON_SIDE / side),
                                                        std::max(1, height * ICON_SIDE / side));
                     }),
                     nullptr);
    const bool written = gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(bytes.data()),
                                                 bytes.size(), &error) &&
                         gdk_pixbuf_loader_close(loader.get(), &error);
    if (!written) {
        AGENT_WARN(CONTEXT) << "Not an image: " << (error != nullptr ? error->message : "");
        if (error != nullptr)
            g_error_free(error);
        return nullptr;
    }
    GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader.get());
    if (pixbuf == nullptr)
        return nullptr;
    GBytes* pixels = gdk_pixbuf_read_pixel_bytes(pixbuf);
    GVariant* data = g_variant_new_from_bytes(G_VARIANT_TYPE_BYTESTRING, pixels, TRUE);
    g_bytes_unref(pixels);
    return Variant(g_variant_ref_sink(g_variant_new(
        "(iiibii@ay)", gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf), gdk_pixbuf_get_rowstride(pixbuf),
        gdk_pixbuf_get_has_alpha(pixbuf), gdk_pixbuf_get_bits_per_sample(pixbuf), gdk_pixbuf_get_n_channels(pixbuf),
        data)));
}

bool is_remote(const std::wstring& url) {
    return url.rfind(L"http://", 0) == 0 || url.rfind(L"https://", 0) == 0;
}

// The icons of one batch, fetched on a thread of their own through the link service (its
// bounds and cache). The GUI thread reads the result once `done` is set; the destructor of
// the notices cancels what still runs.
struct IconFetch {
    std::mutex mutex;
    std::map<std::wstring, std::string> bytes;
    agent::FetchCancel cancel;
    std::atomic<bool> done{false};
    std::thread thread;
};

}  // namespace

// --- the notices ------------------------------------------------------------------------

struct DesktopNotices::Core : std::enable_shared_from_this<DesktopNotices::Core> {
    // One notice of the desktop: a message's own, or the grouped one.
    struct Notice {
        std::uint32_t id = 0;    // the service's id; 0 while Notify is on its way
        std::string service;     // the unique bus name of the service that showed it
        agent::Message message;  // single notices only
        bool withdrawn = false;  // withdrawn while Notify was on its way: closed when the id comes
    };
    struct Group {
        std::uint32_t id = 0;
        std::string service;
        std::vector<agent::Message> messages;
        bool sending = false;
        bool changed = false;  // changed while a Notify was on its way: sent again after it
    };
    struct Batch {
        std::vector<agent::Message> messages;
        std::shared_ptr<IconFetch> icons;
        bool waited = false;  // ICON_WAIT is over
    };

    Handlers handlers;
    std::weak_ptr<winhttp::SimpleClient> http;
    std::wstring api_base;

    Object<GDBusConnection> bus;
    Object<GCancellable> cancellable{g_cancellable_new()};
    guint watch = 0;
    guint action_signal = 0;
    guint closed_signal = 0;
    guint properties_signal = 0;
    std::string owner;  // the service's unique name while it is on the bus
    bool markup = true;  // until the service says otherwise, its bodies are taken as markup
    bool service_inhibited = false;
    Object<GSettings> gnome;
    bool banners_off = false;

    std::list<std::shared_ptr<Notice>> singles;
    Group group;
    std::list<std::shared_ptr<Batch>> batches;
    std::list<std::shared_ptr<IconFetch>> fetches;
    // Decoded images by address, and none for those that failed: not asked for again.
    agent::details::LruCache<std::wstring, Variant> icon_cache{ICON_CACHE};
    Variant program_icon;
    std::vector<agent::Message> refusals;
    bool refusal_posted = false;

    // What the GIO callbacks hold: the core may have gone when they run.
    std::weak_ptr<Core>* weak() { return new std::weak_ptr<Core>(shared_from_this()); }
    static void free_weak(gpointer data) { delete static_cast<std::weak_ptr<Core>*>(data); }
    static std::shared_ptr<Core> lock(gpointer data) { return static_cast<std::weak_ptr<Core>*>(data)->lock(); }

    void start();
    void stop();

    void on_appeared(const char* unique_name);
    void on_vanished();
    void on_action(const std::string& sender, std::uint32_t id, const std::string& key);
    void on_closed(const std::string& sender, std::uint32_t id);
    void on_properties(GVariant* changed, const char* const* invalidated);
    void ask_inhibited();
    void watch_gnome();

    void queue(const std::vector<agent::Message>& messages, const std::wstring& session_id);
    void pump();
    void send(Batch& batch);
    void notify_single(const std::shared_ptr<Notice>& notice, GVariant* image);
    void notify_group();
    void notify(std::uint32_t replaces, const std::string& summary, const std::string& body, bool with_open,
                bool with_read, GVariant* image, std::function<void(GDBusMessage*, GError*)> done);
    void close(const std::string& service, std::uint32_t id);
    GVariant* icon_for(const agent::Message& message);
    void refuse(std::vector<agent::Message> messages);
    void defer(std::function<void(Core&)> work);
    bool has_notice(const std::wstring& id) const;
    void withdraw(const std::wstring& id);
    void withdraw_all();
};

void DesktopNotices::Core::start() {
    GError* error = nullptr;
    bus.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
    if (!bus) {
        AGENT_WARN(CONTEXT) << "No session bus: new messages show in the popup ("
                            << (error != nullptr ? error->message : "") << ")";
        if (error != nullptr)
            g_error_free(error);
    } else {
        // Signals of any sender: a notice answers only to the service that showed it, which
        // is checked against the sender of its Notify answer.
        action_signal = g_dbus_connection_signal_subscribe(
            bus.get(), nullptr, NAME, "ActionInvoked", PATH, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            +[](GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                gpointer data) {
                auto core = lock(data);
                if (!core || sender == nullptr || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)")))
                    return;
                guint32 id = 0;
                const gchar* key = nullptr;
                g_variant_get(parameters, "(u&s)", &id, &key);
                core->on_action(sender, id, key);
            },
            weak(), free_weak);
        closed_signal = g_dbus_connection_signal_subscribe(
            bus.get(), nullptr, NAME, "NotificationClosed", PATH, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            +[](GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                gpointer data) {
                auto core = lock(data);
                if (!core || sender == nullptr || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)")))
                    return;
                guint32 id = 0;
                guint32 reason = 0;
                g_variant_get(parameters, "(uu)", &id, &reason);
                core->on_closed(sender, id);
            },
            weak(), free_weak);
        // Watched, never started: a service that is not running is asked for by the first
        // notice (the bus may start it then).
        watch = g_bus_watch_name_on_connection(
            bus.get(), NAME, G_BUS_NAME_WATCHER_FLAGS_NONE,
            +[](GDBusConnection*, const gchar*, const gchar* unique_name, gpointer data) {
                if (auto core = lock(data))
                    core->on_appeared(unique_name);
            },
            +[](GDBusConnection*, const gchar*, gpointer data) {
                if (auto core = lock(data))
                    core->on_vanished();
            },
            weak(), free_weak);
    }
    watch_gnome();
    if (auto resource = engine::load_resource("varnel-agent.png"))
        program_icon = image_data(resource->data);
}

void DesktopNotices::Core::stop() {
    g_cancellable_cancel(cancellable.get());
    if (bus) {
        if (watch != 0)
            g_bus_unwatch_name(watch);
        for (guint signal : {action_signal, closed_signal, properties_signal})
            if (signal != 0)
                g_dbus_connection_signal_unsubscribe(bus.get(), signal);
        bus.reset();
    }
    if (gnome) {
        g_signal_handlers_disconnect_by_data(gnome.get(), this);
        gnome.reset();
    }
    for (const auto& fetch : fetches)
        fetch->cancel.cancel();
    for (const auto& fetch : fetches)
        if (fetch->thread.joinable())
            fetch->thread.join();
    fetches.clear();
}

void DesktopNotices::Core::watch_gnome() {
    // Only where GNOME's schema is installed: GSettings aborts the program when asked for a
    // schema it does not know.
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (source == nullptr)
        return;
    GSettingsSchema* schema = g_settings_schema_source_lookup(source, GNOME_SCHEMA, TRUE);
    if (schema == nullptr)
        return;
    if (g_settings_schema_has_key(schema, GNOME_BANNERS)) {
        gnome.reset(g_settings_new_full(schema, nullptr, nullptr));
        banners_off = !g_settings_get_boolean(gnome.get(), GNOME_BANNERS);
        g_signal_connect(gnome.get(), "changed::show-banners",
                         G_CALLBACK(+[](GSettings* settings, const gchar*, gpointer data) {
                             auto& core = *static_cast<Core*>(data);
                             core.banners_off = !g_settings_get_boolean(settings, GNOME_BANNERS);
                             AGENT_INFO(CONTEXT) << "GNOME banners " << (core.banners_off ? "off" : "on");
                         }),
                         this);
    }
    g_settings_schema_unref(schema);
}

void DesktopNotices::Core::on_appeared(const char* unique_name) {
    owner = unique_name;
    markup = true;
    service_inhibited = false;
    AGENT_INFO(CONTEXT) << "The notification service is " << owner;
    if (properties_signal != 0)
        g_dbus_connection_signal_unsubscribe(bus.get(), properties_signal);
    properties_signal = g_dbus_connection_signal_subscribe(
        bus.get(), owner.c_str(), "org.freedesktop.DBus.Properties", "PropertiesChanged", PATH, NAME,
        G_DBUS_SIGNAL_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
            gpointer data) {
            auto core = lock(data);
            if (!core || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)")))
                return;
            GVariant* changed = nullptr;
            const gchar** invalidated = nullptr;
            g_variant_get(parameters, "(&s@a{sv}^a&s)", nullptr, &changed, &invalidated);
            core->on_properties(changed, invalidated);
            g_variant_unref(changed);
            g_free(invalidated);
        },
        weak(), free_weak);
    const std::string asked = owner;
    auto* data = new std::pair<std::weak_ptr<Core>, std::string>(shared_from_this(), asked);
    g_dbus_connection_call(
        bus.get(), owner.c_str(), PATH, NAME, "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, CALL_TIMEOUT_MS, cancellable.get(),
        +[](GObject* source, GAsyncResult* result, gpointer user_data) {
            std::unique_ptr<std::pair<std::weak_ptr<Core>, std::string>> data(
                static_cast<std::pair<std::weak_ptr<Core>, std::string>*>(user_data));
            GError* error = nullptr;
            GVariant* answer = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
            auto core = data->first.lock();
            if (answer == nullptr) {
                if (core) {
                    AGENT_WARN(CONTEXT) << "GetCapabilities: " << error->message;
                }
                g_error_free(error);
                return;
            }
            if (core && core->owner == data->second) {
                const gchar** capabilities = nullptr;
                g_variant_get(answer, "(^a&s)", &capabilities);
                bool markup = false;
                for (const gchar** capability = capabilities; capability && *capability; ++capability)
                    markup = markup || std::string(*capability) == "body-markup";
                g_free(capabilities);
                core->markup = markup;
            }
            g_variant_unref(answer);
        },
        data);
    ask_inhibited();
}

void DesktopNotices::Core::ask_inhibited() {
    auto* data = new std::pair<std::weak_ptr<Core>, std::string>(shared_from_this(), owner);
    g_dbus_connection_call(
        bus.get(), owner.c_str(), PATH, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", NAME, "Inhibited"),
        G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, CALL_TIMEOUT_MS, cancellable.get(),
        +[](GObject* source, GAsyncResult* result, gpointer user_data) {
            std::unique_ptr<std::pair<std::weak_ptr<Core>, std::string>> data(
                static_cast<std::pair<std::weak_ptr<Core>, std::string>*>(user_data));
            GError* error = nullptr;
            GVariant* answer = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
            // Most services have no such property: they decide about quiet themselves.
            if (answer == nullptr) {
                g_error_free(error);
                return;
            }
            auto core = data->first.lock();
            GVariant* value = nullptr;
            g_variant_get(answer, "(v)", &value);
            if (core && core->owner == data->second && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
                core->service_inhibited = g_variant_get_boolean(value);
            g_variant_unref(value);
            g_variant_unref(answer);
        },
        data);
}

void DesktopNotices::Core::on_properties(GVariant* changed, const char* const* invalidated) {
    gboolean value = FALSE;
    if (g_variant_lookup(changed, "Inhibited", "b", &value)) {
        service_inhibited = value;
        AGENT_INFO(CONTEXT) << "The notification service " << (value ? "asks for quiet" : "shows notices again");
        return;
    }
    for (const char* const* name = invalidated; name && *name; ++name)
        if (std::string(*name) == "Inhibited")
            ask_inhibited();
}

void DesktopNotices::Core::on_vanished() {
    if (owner.empty())
        return;
    AGENT_WARN(CONTEXT) << "The notification service " << owner << " left the bus";
    const std::string gone = owner;
    owner.clear();
    service_inhibited = false;
    markup = true;
    if (properties_signal != 0) {
        g_dbus_connection_signal_unsubscribe(bus.get(), properties_signal);
        properties_signal = 0;
    }
    // Its notices went with it, unanswered: their messages come back for the popup. Those
    // whose Notify is still on its way get their answer (an error) from the bus.
    std::vector<agent::Message> lost;
    for (auto notice = singles.begin(); notice != singles.end();) {
        if ((*notice)->id != 0 && (*notice)->service == gone) {
            if (!(*notice)->withdrawn)
                lost.push_back(std::move((*notice)->message));
            notice = singles.erase(notice);
        } else {
            ++notice;
        }
    }
    if (group.id != 0 && group.service == gone) {
        group.id = 0;
        group.service.clear();
        if (!group.sending) {
            lost.insert(lost.end(), group.messages.begin(), group.messages.end());
            group.messages.clear();
        }
    }
    refuse(std::move(lost));
}

void DesktopNotices::Core::on_action(const std::string& sender, std::uint32_t id, const std::string& key) {
    AGENT_INFO(CONTEXT) << "Action \"" << key << "\" on notice " << id;
    if (group.id == id && group.service == sender) {
        close(group.service, group.id);
        group = Group();
        defer([](Core& core) { core.handlers.show_list(); });
        return;
    }
    const auto found = std::find_if(singles.begin(), singles.end(), [&](const std::shared_ptr<Notice>& notice) {
        return notice->id == id && notice->service == sender;
    });
    if (found == singles.end())
        return;
    const agent::Message message = (*found)->message;
    // Done with: a service that keeps notices after an action (resident ones) lets it go.
    close(sender, id);
    singles.erase(found);
    if (key == "open") {
        defer([message](Core& core) { core.handlers.open(message); });
    } else if (key == "read") {
        defer([id = message.id](Core& core) { core.handlers.read(id); });
    } else if (key == "default") {
        defer([](Core& core) { core.handlers.show_list(); });
    }
}

void DesktopNotices::Core::on_closed(const std::string& sender, std::uint32_t id) {
    // Dismissed or expired: the message stays unread in the list and on the tray.
    if (group.id == id && group.service == sender && !group.sending) {
        group = Group();
        return;
    }
    singles.remove_if([&](const std::shared_ptr<Notice>& notice) { return notice->id == id && notice->service == sender; });
}

void DesktopNotices::Core::queue(const std::vector<agent::Message>& messages, const std::wstring& session_id) {
    auto batch = std::make_shared<Batch>();
    batch->messages = messages;
    // The newest ones may get notices of their own: their icons are fetched meanwhile.
    std::vector<std::wstring> urls;
    for (auto message = messages.rbegin(); message != messages.rend() && urls.size() < MAX_SINGLE; ++message) {
        if (!is_remote(message->icon) || icon_cache.find(message->icon) != nullptr ||
            std::find(urls.begin(), urls.end(), message->icon) != urls.end())
            continue;
        urls.push_back(message->icon);
    }
    batches.push_back(batch);
    if (urls.empty() || !bus) {
        pump();
        return;
    }
    auto fetch = std::make_shared<IconFetch>();
    batch->icons = fetch;
    fetches.push_back(fetch);
    const std::weak_ptr<Core> self = shared_from_this();
    fetch->thread = std::thread([fetch, self, urls, http = http, api_base = api_base,
                                 session = session_id] {
        for (const std::wstring& url : urls) {
            std::string bytes;
            try {
                agent::UriService icons(http, api_base);
                icons.set_session_id(session);
                const std::vector<std::uint8_t> got = icons.get_icon(url, ICON_LIMIT, &fetch->cancel);
                bytes.assign(got.begin(), got.end());
            } catch (...) {
                if (!fetch->cancel.cancelled())
                    error::log_exception(std::current_exception(), FETCH_ICON);
            }
            if (fetch->cancel.cancelled())
                break;
            std::lock_guard lock(fetch->mutex);
            fetch->bytes[url] = std::move(bytes);
        }
        fetch->done = true;
        post_on_gui_thread(
            [self] {
                if (auto core = self.lock())
                    core->pump();
            },
            FETCH_ICON);
    });
    auto* data = new std::pair<std::weak_ptr<Core>, std::weak_ptr<Batch>>(self, batch);
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, ICON_WAIT_MS,
        +[](gpointer user_data) -> gboolean {
            auto* data = static_cast<std::pair<std::weak_ptr<Core>, std::weak_ptr<Batch>>*>(user_data);
            auto core = data->first.lock();
            auto batch = data->second.lock();
            if (core && batch) {
                batch->waited = true;
                core->pump();
            }
            return G_SOURCE_REMOVE;
        },
        data, +[](gpointer user_data) { delete static_cast<std::pair<std::weak_ptr<Core>, std::weak_ptr<Batch>>*>(user_data); });
}

void DesktopNotices::Core::pump() {
    // Icons that have come (or failed: remembered as none, so they are not asked for again)
    // join the cache, also those of a fetch that outlasted its batch's wait.
    for (auto fetch = fetches.begin(); fetch != fetches.end();) {
        if (!(*fetch)->done) {
            ++fetch;
            continue;
        }
        (*fetch)->thread.join();
        for (const auto& [url, bytes] : (*fetch)->bytes)
            icon_cache.put(url, image_data(bytes));
        fetch = fetches.erase(fetch);
    }
    // Batches go in the order they came, each once its icons are in or ICON_WAIT is over.
    while (!batches.empty()) {
        const std::shared_ptr<Batch> batch = batches.front();
        if (batch->icons && !batch->icons->done && !batch->waited)
            break;
        batches.pop_front();
        send(*batch);
    }
}

GVariant* DesktopNotices::Core::icon_for(const agent::Message& message) {
    if (is_remote(message.icon)) {
        if (Variant* cached = icon_cache.find(message.icon); cached != nullptr && *cached)
            return cached->get();
    }
    return program_icon.get();
}

void DesktopNotices::Core::send(Batch& batch) {
    if (!bus) {
        refuse(std::move(batch.messages));
        return;
    }
    std::vector<agent::Message> fresh;
    for (agent::Message& message : batch.messages) {
        const bool twice = !message.id.empty() && (has_notice(message.id) ||
                                                   std::any_of(fresh.begin(), fresh.end(), [&](const agent::Message& m) {
                                                       return m.id == message.id;
                                                   }));
        if (!twice)
            fresh.push_back(std::move(message));
    }
    const std::size_t room = MAX_SINGLE > singles.size() ? MAX_SINGLE - singles.size() : 0;
    const std::size_t single = std::min(room, fresh.size());
    const std::size_t grouped = fresh.size() - single;
    for (std::size_t i = 0; i < grouped; ++i)
        group.messages.push_back(std::move(fresh[i]));
    for (std::size_t i = grouped; i < fresh.size(); ++i) {
        auto notice = std::make_shared<Notice>();
        notice->message = std::move(fresh[i]);
        singles.push_back(notice);
        notify_single(notice, icon_for(notice->message));
    }
    if (grouped > 0)
        notify_group();
}

void DesktopNotices::Core::notify_single(const std::shared_ptr<Notice>& notice, GVariant* image) {
    const agent::Message& message = notice->message;
    // The summary is plain text for every service; the body is markup for those that say
    // so, and is escaped for them in notify().
    std::string summary = agent::notice_line(message.organization, SUMMARY_LIMIT);
    std::string body = agent::notice_line(message.subject, SUMMARY_LIMIT);
    const std::string line = agent::notice_first_line(message, BODY_LINE_LIMIT);
    if (summary.empty()) {
        summary = body.empty() ? APP_NAME : body;
        body.clear();
    }
    if (!line.empty())
        body += (body.empty() ? "" : "\n") + line;
    const std::weak_ptr<Notice> weak_notice = notice;
    notify(0, summary, body, !message.link.empty(), true, image,
           [this, weak_notice](GDBusMessage* answer, GError* error) {
               const auto notice = weak_notice.lock();
               // Taken away meanwhile (the user signed out): nothing is shown for it.
               if (!notice)
                   return;
               if (error != nullptr) {
                   singles.remove(notice);
                   if (!notice->withdrawn)
                       refuse({notice->message});
                   return;
               }
               g_variant_get(g_dbus_message_get_body(answer), "(u)", &notice->id);
               notice->service = g_dbus_message_get_sender(answer) ? g_dbus_message_get_sender(answer) : "";
               if (notice->withdrawn) {
                   close(notice->service, notice->id);
                   singles.remove(notice);
               }
           });
}

void DesktopNotices::Core::notify_group() {
    if (group.sending) {
        group.changed = true;
        return;
    }
    if (group.messages.empty()) {
        if (group.id != 0)
            close(group.service, group.id);
        group = Group();
        return;
    }
    group.sending = true;
    group.changed = false;
    // Replaced in place by the same service; a new one shows a notice of its own.
    const std::uint32_t replaces = group.service == owner ? group.id : 0;
    const std::size_t count = group.messages.size();
    notify(replaces, APP_NAME, unread_text(static_cast<int>(count)), false, false, program_icon.get(),
           [this](GDBusMessage* answer, GError* error) {
               group.sending = false;
               if (error != nullptr) {
                   std::vector<agent::Message> lost = std::move(group.messages);
                   if (group.id != 0)
                       close(group.service, group.id);
                   group = Group();
                   refuse(std::move(lost));
                   return;
               }
               g_variant_get(g_dbus_message_get_body(answer), "(u)", &group.id);
               group.service = g_dbus_message_get_sender(answer) ? g_dbus_message_get_sender(answer) : "";
               if (group.changed || group.messages.empty())
                   notify_group();
           });
}

void DesktopNotices::Core::notify(std::uint32_t replaces, const std::string& summary, const std::string& body,
                                  bool with_open, bool with_read, GVariant* image,
                                  std::function<void(GDBusMessage*, GError*)> done) {
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    // The notice itself: the list (most services show no button for it).
    g_variant_builder_add(&actions, "s", "default");
    g_variant_builder_add(&actions, "s", "Открыть список");
    if (with_open) {
        g_variant_builder_add(&actions, "s", "open");
        g_variant_builder_add(&actions, "s", "Открыть");
    }
    if (with_read) {
        g_variant_builder_add(&actions, "s", "read");
        g_variant_builder_add(&actions, "s", "Прочитано");
    }
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("varnel-agent"));
    g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
    if (image != nullptr)
        g_variant_builder_add(&hints, "{sv}", "image-data", image);
    const std::string text = markup ? escape_markup(body) : body;
    Object<GDBusMessage> call(g_dbus_message_new_method_call(NAME, PATH, NAME, "Notify"));
    g_dbus_message_set_body(call.get(), g_variant_new("(susssasa{sv}i)", APP_NAME, replaces, APP_ICON, summary.c_str(),
                                                text.c_str(), &actions, &hints, -1));
    struct Call {
        std::weak_ptr<Core> core;
        std::function<void(GDBusMessage*, GError*)> done;
    };
    g_dbus_connection_send_message_with_reply(
        bus.get(), call.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE, CALL_TIMEOUT_MS, nullptr, cancellable.get(),
        +[](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Call> call(static_cast<Call*>(data));
            GError* error = nullptr;
            GDBusMessage* answer =
                g_dbus_connection_send_message_with_reply_finish(G_DBUS_CONNECTION(source), result, &error);
            if (answer != nullptr && !g_dbus_message_to_gerror(answer, &error) &&
                !g_variant_is_of_type(g_dbus_message_get_body(answer), G_VARIANT_TYPE("(u)")))
                error = g_error_new(G_DBUS_ERROR, G_DBUS_ERROR_INVALID_SIGNATURE, "Notify answered without an id");
            auto core = call->core.lock();
            if (core) {
                if (error != nullptr) {
                    AGENT_WARN(CONTEXT) << "Notify: " << error->message;
                }
                call->done(answer, error);
            }
            if (error != nullptr)
                g_error_free(error);
            if (answer != nullptr)
                g_object_unref(answer);
        },
        new Call{weak_from_this(), std::move(done)});
}

void DesktopNotices::Core::close(const std::string& service, std::uint32_t id) {
    if (!bus || service.empty() || id == 0)
        return;
    g_dbus_connection_call(bus.get(), service.c_str(), PATH, NAME, "CloseNotification", g_variant_new("(u)", id), nullptr,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, CALL_TIMEOUT_MS, nullptr, nullptr, nullptr);
}

void DesktopNotices::Core::refuse(std::vector<agent::Message> messages) {
    if (messages.empty())
        return;
    refusals.insert(refusals.end(), std::make_move_iterator(messages.begin()), std::make_move_iterator(messages.end()));
    if (refusal_posted)
        return;
    refusal_posted = true;
    defer([](Core& core) {
        core.refusal_posted = false;
        std::vector<agent::Message> messages = std::move(core.refusals);
        core.refusals.clear();
        if (!messages.empty())
            core.handlers.refused(std::move(messages));
    });
}

void DesktopNotices::Core::defer(std::function<void(Core&)> work) {
    // From the main loop, never inside a signal or a call of the owner: what the handlers
    // do may run a dialog's loop or come back here.
    post_on_gui_thread(
        [self = weak_from_this(), work = std::move(work)] {
            if (auto core = self.lock())
                work(*core);
        },
        CONTEXT);
}

bool DesktopNotices::Core::has_notice(const std::wstring& id) const {
    return std::any_of(singles.begin(), singles.end(),
                       [&](const std::shared_ptr<Notice>& notice) { return notice->message.id == id; }) ||
           std::any_of(group.messages.begin(), group.messages.end(),
                       [&](const agent::Message& message) { return message.id == id; });
}

void DesktopNotices::Core::withdraw(const std::wstring& id) {
    if (id.empty())
        return;
    auto same = [&](const agent::Message& message) { return message.id == id; };
    for (const auto& batch : batches)
        std::erase_if(batch->messages, same);
    std::erase_if(refusals, same);
    for (auto notice = singles.begin(); notice != singles.end(); ++notice) {
        if ((*notice)->message.id != id)
            continue;
        if ((*notice)->id == 0) {
            (*notice)->withdrawn = true;
        } else {
            close((*notice)->service, (*notice)->id);
            singles.erase(notice);
        }
        return;
    }
    if (std::erase_if(group.messages, same) > 0)
        notify_group();
}

void DesktopNotices::Core::withdraw_all() {
    batches.clear();
    refusals.clear();
    for (const auto& notice : singles) {
        notice->withdrawn = true;
        close(notice->service, notice->id);
    }
    singles.remove_if([](const std::shared_ptr<Notice>& notice) { return notice->id != 0; });
    group.messages.clear();
    notify_group();
}

DesktopNotices::DesktopNotices(Handlers handlers, std::weak_ptr<winhttp::SimpleClient> http,
                               std::wstring api_base)
    : core_(std::make_shared<Core>()) {
    core_->handlers = std::move(handlers);
    core_->http = std::move(http);
    core_->api_base = std::move(api_base);
    core_->start();
}

DesktopNotices::~DesktopNotices() {
    core_->stop();
}

void DesktopNotices::show(const std::vector<agent::Message>& messages, const std::wstring& session_id) {
    if (!messages.empty())
        core_->queue(messages, session_id);
}

void DesktopNotices::withdraw(const std::wstring& id) {
    core_->withdraw(id);
}

void DesktopNotices::withdraw_all() {
    core_->withdraw_all();
}

void DesktopNotices::flush() {
    if (core_->bus)
        g_dbus_connection_flush_sync(core_->bus.get(), nullptr, nullptr);
}

bool DesktopNotices::inhibited() const {
    return core_->service_inhibited || core_->banners_off;
}

}  // namespace varnelagent
