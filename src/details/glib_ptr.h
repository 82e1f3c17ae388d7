#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>

// Ownership of GLib values for the whole program: GPtr<T> frees what it holds with the
// type's own function, and any other type is taken for a GObject and unreferenced. A boxed
// type of another library (SoupCookie) is owned with that library's g_autoptr instead.
namespace agent::details {

struct GLibFree {
    void operator()(GError* error) const noexcept { g_error_free(error); }
    void operator()(char* text) const noexcept { g_free(text); }
    void operator()(GBytes* bytes) const noexcept { g_bytes_unref(bytes); }
    void operator()(GVariant* value) const noexcept { g_variant_unref(value); }
    void operator()(GHashTable* table) const noexcept { g_hash_table_unref(table); }
    void operator()(GMainLoop* loop) const noexcept { g_main_loop_unref(loop); }
    void operator()(GUri* uri) const noexcept { g_uri_unref(uri); }
    template <typename Object>
    void operator()(Object* object) const noexcept {
        g_object_unref(object);
    }
};

template <typename T>
using GPtr = std::unique_ptr<T, GLibFree>;

}  // namespace agent::details
