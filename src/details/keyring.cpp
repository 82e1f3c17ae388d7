#include "details/keyring.h"

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <memory>
#include <mutex>
#include <string>

#include "details/glib_ptr.h"

namespace agent::details::keyring {

namespace {

constexpr char SERVICE[] = "org.freedesktop.secrets";

const SecretSchema* schema() {
    static const SecretSchema value = {
        "example.varnel.Agent.Secret",
        SECRET_SCHEMA_NONE,
        {
            {"kind", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"host", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &value;
}

using Attributes = GPtr<GHashTable>;

// The attributes of the key; an empty user is left out, so a lookup matches any user.
Attributes attributes_of(const Key& key) {
    Attributes table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(table.get(), g_strdup("kind"), g_strdup(key.kind.c_str()));
    g_hash_table_insert(table.get(), g_strdup("host"), g_strdup(key.host.c_str()));
    if (!key.user.empty())
        g_hash_table_insert(table.get(), g_strdup("user"), g_strdup(key.user.c_str()));
    return table;
}

std::string take_error(GError* error, const char* fallback) {
    if (error == nullptr)
        return fallback;
    std::string text = error->message != nullptr ? error->message : fallback;
    g_error_free(error);
    return text;
}

}  // namespace

bool available() noexcept {
    // A session bus that is there, never one started for the asking (GIO would launch one
    // on an X display without it).
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || address[0] == '\0') {
        const std::string socket = std::string(g_get_user_runtime_dir()) + "/bus";
        if (!g_file_test(socket.c_str(), G_FILE_TEST_EXISTS))
            return false;
    }
    GError* error = nullptr;
    const GPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
    if (!bus) {
        g_clear_error(&error);
        return false;
    }
    const GPtr<GVariant> answer(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
        g_variant_new("(s)", SERVICE), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error));
    if (!answer) {
        g_clear_error(&error);
        return false;
    }
    const gchar* owner = nullptr;
    g_variant_get(answer.get(), "(&s)", &owner);
    // The service started again since we last spoke to it (the desktop restarted it):
    // libsecret's connection to the old one is no good any more.
    static std::mutex mutex;
    static std::string last_owner;
    {
        std::lock_guard lock(mutex);
        if (!last_owner.empty() && last_owner != owner)
            secret_service_disconnect();
        last_owner = owner;
    }
    return true;
}

bool store(const Key& key, const std::string& label, const std::string& secret, std::string& error) {
    GError* failure = nullptr;
    const Attributes attributes = attributes_of(key);
    const gboolean stored = secret_password_storev_sync(schema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                                                        label.c_str(), secret.c_str(), nullptr, &failure);
    if (stored)
        return true;
    error = take_error(failure, "the keyring did not take the secret");
    return false;
}

std::optional<std::string> lookup(const Key& key, std::string& error) {
    GError* failure = nullptr;
    const Attributes attributes = attributes_of(key);
    gchar* secret = secret_password_lookupv_sync(schema(), attributes.get(), nullptr, &failure);
    if (secret == nullptr) {
        if (failure != nullptr)
            error = take_error(failure, "the keyring cannot be read");
        return std::nullopt;
    }
    std::string value = secret;
    secret_password_free(secret);
    return value;
}

bool clear(const Key& key, std::string& error) {
    GError* failure = nullptr;
    const Attributes attributes = attributes_of(key);
    secret_password_clearv_sync(schema(), attributes.get(), nullptr, &failure);
    if (failure == nullptr)
        return true;
    error = take_error(failure, "the keyring did not remove the secret");
    return false;
}

}  // namespace agent::details::keyring
