#include "gui/engine/resources.h"

#include <gio/gio.h>

#include <cctype>
#include <memory>

#include "details/strings.h"

namespace varnelagent::engine {

namespace {

constexpr std::size_t MAX_NAME = 260;

std::string lower(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A malformed escape stays as it is written.
std::string percent_decode(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hex_digit(text[i + 1]);
            const int low = hex_digit(text[i + 2]);
            if (high >= 0 && low >= 0) {
                result.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        result.push_back(text[i]);
    }
    return result;
}

struct BytesDeleter {
    void operator()(GBytes* bytes) const { g_bytes_unref(bytes); }
};

}  // namespace

std::optional<std::string> resource_key(std::string_view url) {
    std::string_view rest = url;
    if (agent::details::starts_with_ascii_nocase(rest, "res:"))
        rest.remove_prefix(4);
    if (rest.starts_with("//"))
        rest.remove_prefix(2);
    while (rest.starts_with("/"))
        rest.remove_prefix(1);
    rest = rest.substr(0, rest.find_first_of("?#"));
    const std::string path = percent_decode(rest);
    if (path.empty() || path.size() > MAX_NAME || path.find('\0') != std::string::npos)
        return std::nullopt;
    // A resource name never climbs out of the resource folder.
    if (path == ".." || path.starts_with("../") || path.find("/../") != std::string::npos || path.ends_with("/.."))
        return std::nullopt;

    const auto dot = path.rfind('.');
    const auto slash = path.rfind('/');
    const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    if (!has_extension)
        return lower(path) + ".html";
    const std::string name = lower(std::string_view(path).substr(0, dot));
    const std::string extension = lower(std::string_view(path).substr(dot + 1));
    if (extension == "htm" || extension == "html")
        return name + ".html";
    return name + "." + extension;
}

std::string mime_type_for(std::string_view key) {
    const auto dot = key.rfind('.');
    const std::string extension = dot == std::string_view::npos ? std::string() : lower(key.substr(dot + 1));
    if (extension == "html")
        return "text/html; charset=utf-8";
    if (extension == "css")
        return "text/css; charset=utf-8";
    if (extension == "js")
        return "text/javascript; charset=utf-8";
    if (extension == "json")
        return "application/json; charset=utf-8";
    if (extension == "txt")
        return "text/plain; charset=utf-8";
    if (extension == "svg")
        return "image/svg+xml";
    if (extension == "png")
        return "image/png";
    if (extension == "gif")
        return "image/gif";
    if (extension == "jpg" || extension == "jpeg")
        return "image/jpeg";
    if (extension == "ico")
        return "image/x-icon";
    if (extension == "woff2")
        return "font/woff2";
    return "application/octet-stream";
}

std::optional<Resource> load_resource(std::string_view url) {
    const auto key = resource_key(url);
    if (!key)
        return std::nullopt;
    const std::string path = std::string(RESOURCE_PREFIX) + *key;
    std::unique_ptr<GBytes, BytesDeleter> bytes(
        g_resources_lookup_data(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr));
    if (!bytes)
        return std::nullopt;
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
    return Resource{std::string(data, size), mime_type_for(*key)};
}

std::string canonical_document_url(std::string_view url) {
    const auto key = resource_key(url);
    return key ? "res:///" + *key : std::string(url);
}

}  // namespace varnelagent::engine
