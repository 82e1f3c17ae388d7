#include "gui/engine/resources.h"

#include <gio/gio.h>

#include <cctype>
#include <memory>

#include "details/glib_ptr.h"
#include "details/logger.h"
#include "details/strings.h"

namespace varnelagent::engine {

namespace {

constexpr std::size_t MAX_NAME = 260;
// Fragments may include fragments, but a loop of includes must end somewhere.
constexpr int MAX_INCLUDE_DEPTH = 4;

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

namespace {

std::optional<std::string> lookup(const std::string& key) {
    const std::string path = std::string(RESOURCE_PREFIX) + key;
    agent::details::GPtr<GBytes> bytes(
        g_resources_lookup_data(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr));
    if (!bytes)
        return std::nullopt;
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
    return std::string(data, size);
}

std::size_t find_ci(std::string_view text, std::string_view needle, std::size_t from) {
    for (std::size_t i = from; i + needle.size() <= text.size(); ++i)
        if (agent::details::starts_with_ascii_nocase(text.substr(i), needle))
            return i;
    return std::string_view::npos;
}

// The value of the src attribute inside an element's opening tag, quoted or not.
std::optional<std::string> src_attribute(std::string_view tag) {
    for (std::size_t at = find_ci(tag, "src", 0); at != std::string_view::npos; at = find_ci(tag, "src", at + 3)) {
        const char before = at == 0 ? ' ' : tag[at - 1];
        if (!std::isspace(static_cast<unsigned char>(before)))
            continue;
        std::size_t i = at + 3;
        while (i < tag.size() && std::isspace(static_cast<unsigned char>(tag[i])))
            ++i;
        if (i >= tag.size() || tag[i] != '=')
            continue;
        ++i;
        while (i < tag.size() && std::isspace(static_cast<unsigned char>(tag[i])))
            ++i;
        if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'')) {
            const auto end = tag.find(tag[i], i + 1);
            if (end == std::string_view::npos)
                return std::nullopt;
            return std::string(tag.substr(i + 1, end - i - 1));
        }
        const auto end = tag.find_first_of(" \t\r\n/>", i);
        return std::string(tag.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
    }
    return std::nullopt;
}

// Replaces every <include src="NAME"></include> (or <include src="NAME"/>) of an HTML text
// with the named resource, whose own includes are expanded in turn up to MAX_INCLUDE_DEPTH.
// An include that names nothing, or lies too deep, is dropped and logged.
std::string expand_includes(std::string_view html, std::string_view owner, int depth) {
    constexpr std::string_view OPEN = "<include";
    constexpr std::string_view CLOSE = "</include>";
    std::string result;
    result.reserve(html.size());
    std::size_t done = 0;
    for (std::size_t at = find_ci(html, OPEN, 0); at != std::string_view::npos; at = find_ci(html, OPEN, done)) {
        const std::size_t after_name = at + OPEN.size();
        if (after_name < html.size() && !std::isspace(static_cast<unsigned char>(html[after_name])) &&
            html[after_name] != '>' && html[after_name] != '/') {
            // Another element whose name merely begins with "include".
            result.append(html.substr(done, after_name - done));
            done = after_name;
            continue;
        }
        const auto tag_end = html.find('>', after_name);
        if (tag_end == std::string_view::npos)
            break;
        const std::string_view tag = html.substr(after_name, tag_end - after_name);
        std::size_t element_end = tag_end + 1;
        if (!tag.ends_with("/")) {
            std::size_t i = element_end;
            while (i < html.size() && std::isspace(static_cast<unsigned char>(html[i])))
                ++i;
            if (agent::details::starts_with_ascii_nocase(html.substr(i), CLOSE))
                element_end = i + CLOSE.size();
        }
        result.append(html.substr(done, at - done));
        done = element_end;

        const auto src = src_attribute(tag);
        const auto key = src ? resource_key(*src) : std::nullopt;
        const auto text = key ? lookup(*key) : std::nullopt;
        if (!text) {
            AGENT_ERROR(L"varnelagent::engine::load_resource")
                << owner << " | include dropped, no resource " << (src ? *src : std::string("(no src)"));
            continue;
        }
        if (!key->ends_with(".html")) {
            result += *text;
            continue;
        }
        if (depth >= MAX_INCLUDE_DEPTH) {
            AGENT_ERROR(L"varnelagent::engine::load_resource")
                << owner << " | include dropped, nested too deep: " << *key;
            continue;
        }
        result += expand_includes(*text, *key, depth + 1);
    }
    result.append(html.substr(done));
    return result;
}

}  // namespace

std::optional<Resource> load_resource(std::string_view url) {
    const auto key = resource_key(url);
    if (!key)
        return std::nullopt;
    auto data = lookup(*key);
    if (!data)
        return std::nullopt;
    if (key->ends_with(".html"))
        return Resource{expand_includes(*data, *key, 0), mime_type_for(*key)};
    return Resource{std::move(*data), mime_type_for(*key)};
}

std::string canonical_document_url(std::string_view url) {
    const auto key = resource_key(url);
    return key ? "res:///" + *key : std::string(url);
}

}  // namespace varnelagent::engine
