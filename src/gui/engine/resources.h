#pragma once

#include <optional>
#include <string>
#include <string_view>

// The page resources compiled into the program (GResource under RESOURCE_PREFIX) and the
// rules by which a res: URL names one of them.
namespace varnelagent::engine {

inline constexpr std::string_view RESOURCE_PREFIX = "/varnel-agent/res/";

// The key a res: URL or a bare file name resolves to, or nothing when it names no resource.
// "res:" (any case) and a following "//" or "/" are dropped, as are a query and a fragment;
// percent escapes are decoded. The text is split at its last dot: the name keeps its case
// folded to lower case; the extensions "htm" and "html" (any case) and a name without a
// dot all become ".html", any other extension is folded to lower case. So RES:AUTH.HTM,
// res://auth.html and res:auth all give "auth.html". Names longer than 260 characters
// name nothing. The build stores every resource under this same key.
std::optional<std::string> resource_key(std::string_view url);

struct Resource {
    std::string data;
    std::string mime_type;  // with "; charset=utf-8" for text types
};

// The resource the URL names, or nothing when there is none. In an HTML resource every
// <include src="NAME"></include> (or <include src="NAME"/>) is replaced by the resource NAME
// names, whose own includes are expanded in turn, four levels deep at most; an include that
// names nothing or lies deeper is dropped and logged at ERROR.
std::optional<Resource> load_resource(std::string_view url);

// MIME type by the key's extension; application/octet-stream for unknown ones.
std::string mime_type_for(std::string_view key);

// The form in which a res: document is handed to the engine ("res:///auth.html"), so that
// relative references inside it ("auth.css") resolve to res: URLs again.
std::string canonical_document_url(std::string_view url);

}  // namespace varnelagent::engine
