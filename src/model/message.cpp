#include "model/message.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>

#include <json/json.h>

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"
#include "winhttp/api_call.h"

namespace agent {

namespace {

// ---------------------------------------------------------------------------------------
// Link markup. The matcher below walks the pattern of MESSAGE_LINK_PATTERN the way an
// ECMAScript engine would. Everything after the host is optional, so the greedy first try
// at a position is the match and nothing is ever backtracked into.

struct LinkMatch {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool bracketed = false;  // group 1 matched
    std::wstring_view text;  // group 2
    std::wstring_view url;   // group 3
};

bool is_ascii_word(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_';
}

bool is_ascii_digit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

bool equals_ignoring_case(std::wstring_view text, std::size_t at, std::wstring_view lower) {
    if (text.size() - at < lower.size())
        return false;
    for (std::size_t i = 0; i < lower.size(); ++i) {
        wchar_t c = text[at + i];
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != lower[i])
            return false;
    }
    return true;
}

// "(?:http|https)://(?:\w|\.|-)+(?::\d+)?(?:/[^\(\)]*)?" at `at`: the end of the URL, or npos.
std::size_t match_url(std::wstring_view body, std::size_t at) {
    std::size_t i = at;
    if (!equals_ignoring_case(body, i, L"http"))
        return std::wstring_view::npos;
    i += 4;
    if (body.substr(i, 3) == L"://") {
        i += 3;
    } else if (equals_ignoring_case(body, i, L"s") && body.substr(i + 1, 3) == L"://") {
        i += 4;
    } else {
        return std::wstring_view::npos;
    }
    const std::size_t host = i;
    while (i < body.size() && (is_ascii_word(body[i]) || body[i] == L'.' || body[i] == L'-'))
        ++i;
    if (i == host)
        return std::wstring_view::npos;
    if (i + 1 < body.size() && body[i] == L':' && is_ascii_digit(body[i + 1])) {
        i += 2;
        while (i < body.size() && is_ascii_digit(body[i]))
            ++i;
    }
    if (i < body.size() && body[i] == L'/') {
        ++i;
        while (i < body.size() && body[i] != L'(' && body[i] != L')')
            ++i;
    }
    return i;
}

std::size_t finish(std::wstring_view body, std::size_t url_end) {
    return url_end < body.size() && body[url_end] == L')' ? url_end + 1 : url_end;
}

// The leftmost match at or after `from`.
bool find_link(std::wstring_view body, std::size_t from, LinkMatch& match) {
    for (std::size_t p = from; p < body.size(); ++p) {
        const wchar_t c = body[p];
        if (c == L'[') {
            // "\[([^\]\[]*)\]\(" then the URL; a URL cannot start at "[" itself.
            const std::size_t close = body.find_first_of(L"[]", p + 1);
            if (close == std::wstring_view::npos || body[close] != L']' || close + 1 >= body.size() ||
                body[close + 1] != L'(')
                continue;
            const std::size_t url_end = match_url(body, close + 2);
            if (url_end == std::wstring_view::npos)
                continue;
            match = {p, finish(body, url_end), true, body.substr(p + 1, close - p - 1),
                     body.substr(close + 2, url_end - close - 2)};
            return true;
        }
        if (c != L'h' && c != L'H')
            continue;
        const std::size_t url_end = match_url(body, p);
        if (url_end == std::wstring_view::npos)
            continue;
        match = {p, finish(body, url_end), false, {}, body.substr(p, url_end - p)};
        return true;
    }
    return false;
}

// The URL stands inside a double-quoted attribute: it must not be able to close it.
void append_attribute(std::wstring& out, std::wstring_view value) {
    for (const wchar_t c : value) {
        switch (c) {
        case L'&':
            out += L"&amp;";
            break;
        case L'"':
            out += L"&quot;";
            break;
        case L'\'':
            out += L"&#39;";
            break;
        case L'<':
            out += L"&lt;";
            break;
        case L'>':
            out += L"&gt;";
            break;
        default:
            out += c;
        }
    }
}

class HtmlWriter {
public:
    HtmlWriter(std::size_t reserve, bool truncate) : truncate_(truncate) { out_.reserve(reserve); }

    // Appends the text (as an anchor when a link is given); false once the visible text
    // reached the limit and nothing more may follow.
    bool emit(std::wstring_view text, std::wstring_view link) {
        bool cut = false;
        if (truncate_ && count_ + text.size() >= MAX_MESSAGE_SIZE) {
            text = text.substr(0, MAX_MESSAGE_SIZE - count_);
            cut = true;
        }
        count_ += text.size() + (cut ? 3 : 0);
        if (!link.empty()) {
            out_ += L"<a href=\"";
            append_attribute(out_, link);
            out_ += L"\">";
        }
        out_ += text;
        if (cut)
            out_ += L"...";
        if (!link.empty())
            out_ += L"</a>";
        return !(truncate_ && count_ >= MAX_MESSAGE_SIZE);
    }

    std::wstring take() { return std::move(out_); }

private:
    std::wstring out_;
    std::size_t count_ = 0;
    bool truncate_;
};

// ---------------------------------------------------------------------------------------
// Time text.

constexpr std::int64_t TICKS_PER_SECOND = 10'000'000;
constexpr std::int64_t TICKS_PER_DAY = 86'400 * TICKS_PER_SECOND;
// Seconds from 0001-01-01 to 1970-01-01, and from 1601-01-01 to 1970-01-01.
constexpr std::int64_t SECONDS_0001_TO_1970 = 62'135'596'800;
constexpr std::int64_t SECONDS_1601_TO_1970 = 11'644'473'600;

[[noreturn]] void bad_date(std::string_view text) {
    throw AgentException(AgentException::BAD_DATE, std::string(text));
}

bool is_leap(std::int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int digits(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            bad_date(text);
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Minutes east of UTC for "Z" or "+hh:mm" / "-hh:mm" making up the whole of `zone`.
std::int64_t zone_offset(std::string_view text, std::string_view zone) {
    if (zone == "Z")
        return 0;
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':')
        bad_date(text);
    const std::size_t at = text.size() - 6;
    const std::int64_t minutes = digits(text, at + 1, 2) * 60 + digits(text, at + 4, 2);
    return zone[0] == '+' ? minutes : -minutes;
}

// ---------------------------------------------------------------------------------------
// JSON.

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// UTF-8 to wide text for the keys of every streamed message, where the general converter's
// per-character appends cost as much as jsoncpp's own parsing. Well-formed text only: at
// the first doubtful byte the general converter takes over, so the results are the same.
std::wstring decode_utf8(const char* text, std::size_t size) {
    std::wstring result(size, L'\0');
    wchar_t* out = result.data();
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    const auto* end = in + size;
    while (in < end) {
        const unsigned char lead = *in;
        if (lead < 0x80) {
            *out++ = lead;
            ++in;
            // Runs of ASCII (addresses, ids) eight bytes at a time.
            std::uint64_t word;
            while (end - in >= 8 && (std::memcpy(&word, in, 8), (word & 0x8080808080808080u) == 0)) {
                for (int i = 0; i < 8; ++i)
                    out[i] = in[i];
                in += 8;
                out += 8;
            }
        } else if (lead >= 0xC2 && lead <= 0xDF && end - in >= 2 && is_continuation(in[1])) {
            *out++ = static_cast<wchar_t>(((lead & 0x1F) << 6) | (in[1] & 0x3F));
            in += 2;
        } else if (lead >= 0xE1 && lead <= 0xEC && end - in >= 3 && is_continuation(in[1]) &&
                   is_continuation(in[2])) {
            *out++ = static_cast<wchar_t>(((lead & 0x0F) << 12) | ((in[1] & 0x3F) << 6) | (in[2] & 0x3F));
            in += 3;
        } else {
            return details::utf8_to_wide(text, size);
        }
    }
    result.resize(static_cast<std::size_t>(out - result.data()));
    return result;
}

// The value as text, as jsoncpp's asString() gives it; strings are converted where they
// lie, without a copy in between.
std::wstring text_of(const Json::Value& value) {
    const char* begin = nullptr;
    const char* end = nullptr;
    if (value.getString(&begin, &end))
        return decode_utf8(begin, static_cast<std::size_t>(end - begin));
    return details::utf8_to_wide(value.asString());
}

std::wstring describe(const std::exception& error) {
    if (const auto* agent_error = dynamic_cast<const Exception*>(&error))
        return agent_error->description();
    return details::utf8_to_wide(std::string_view(error.what()));
}

}  // namespace

std::wstring Message::to_html(bool truncate) const {
    const std::wstring_view text = body;
    HtmlWriter writer(text.size(), truncate);
    std::size_t position = 0;
    LinkMatch match;
    while (find_link(text, position, match)) {
        if (match.begin > position && !writer.emit(text.substr(position, match.begin - position), {}))
            return writer.take();
        // A bare URL is its own anchor text.
        if (!writer.emit(match.bracketed ? match.text : match.url, match.url))
            return writer.take();
        position = match.end;
    }
    if (position < text.size())
        writer.emit(text.substr(position), {});
    return writer.take();
}

namespace details {

DateTime parse_date_time(std::string_view text) {
    if (text.size() <= 15 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':')
        bad_date(text);
    const std::int64_t year = digits(text, 0, 4);
    const int month = digits(text, 5, 2);
    const int day = digits(text, 8, 2);
    const int hour = digits(text, 11, 2);
    const int minute = digits(text, 14, 2);
    if (month < 1 || month > 12)
        bad_date(text);

    int second = 0;
    std::int64_t fraction = 0;
    std::int64_t offset_minutes = 0;
    std::int32_t kind = DateTime::Unspecified;
    if (text.size() > 16) {
        std::size_t zone = 16;
        if (text[16] == ':') {
            if (text.size() < 19)
                bad_date(text);
            second = digits(text, 17, 2);
            zone = 19;
            if (text.size() >= 20 && text[19] == '.') {
                std::int64_t weight = 1'000'000;
                for (zone = 20; zone < text.size() && text[zone] >= '0' && text[zone] <= '9'; ++zone) {
                    fraction += (text[zone] - '0') * weight;
                    weight /= 10;
                }
            }
        }
        if (zone < text.size())
            offset_minutes = zone_offset(text, text.substr(zone));
        kind = text.back() == 'Z' ? DateTime::Utc : DateTime::Local;
    }

    // Days are counted, not checked: 2015-02-29 is 1 March.
    static constexpr int DAYS_BEFORE_MONTH[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const std::int64_t y = year - 1;
    const std::int64_t days = 365 * y + y / 4 - y / 100 + y / 400 + DAYS_BEFORE_MONTH[month - 1] +
                              (month > 2 && is_leap(year) ? 1 : 0) + day - 1;
    const std::int64_t ticks = days * TICKS_PER_DAY + (hour * 3600 + minute * 60 + second) * TICKS_PER_SECOND +
                               fraction - offset_minutes * 60 * TICKS_PER_SECOND;
    // Before 0001-01-01 00:00 (year 0000, or year 1 moved back by its zone).
    if (ticks < 0)
        bad_date(text);

    const std::int64_t seconds = ticks / TICKS_PER_SECOND;
    const auto millisecond = static_cast<std::uint16_t>(ticks % TICKS_PER_SECOND / 10'000);
    std::tm tm{};
    if (kind == DateTime::Utc) {
        const std::time_t instant = static_cast<std::time_t>(seconds - SECONDS_0001_TO_1970);
        if (::localtime_r(&instant, &tm) == nullptr)
            throw SystemException(static_cast<std::uint32_t>(errno), "localtime_r");
        return from_calendar(tm, DateTime::Local, millisecond);
    }
    // The count runs from 0001; read as a count from 1601 it gives the same calendar
    // fields 1600 years later (the Gregorian calendar repeats every 400 years).
    const std::time_t shifted = static_cast<std::time_t>(seconds - SECONDS_1601_TO_1970);
    if (::gmtime_r(&shifted, &tm) == nullptr)
        throw SystemException(static_cast<std::uint32_t>(errno), "gmtime_r");
    return from_calendar(tm, tm.tm_year + 1900 - 1600, static_cast<DateTime::Kind>(kind), millisecond);
}

Message read_message(const Json::Value& item) {
    // One walk over the members finds the keys (a lookup per key costs more than jsoncpp
    // spends parsing them); they are then read in their fixed order. A non-object item
    // reads as jsoncpp reads it: null gives nulls, anything else throws.
    enum Key { ID, CHANNEL, ORGANIZATION, SUBJECT, LINK, BODY, READ, CREATED, PRIORITY, ICON, KEYS };
    static constexpr std::string_view NAMES[KEYS] = {"id",   "channel", "organization", "subject",  "link",
                                                     "body", "read",    "created",      "priority", "icon"};
    static const Json::Value NONE;
    const Json::Value* values[KEYS];
    if (item.isObject()) {
        std::fill(std::begin(values), std::end(values), &NONE);
        const auto last = item.end();
        for (auto it = item.begin(); it != last; ++it) {
            const char* end = nullptr;
            const char* begin = it.memberName(&end);
            const std::string_view name(begin, static_cast<std::size_t>(end - begin));
            // The key its length and first letters can be, then one comparison to be sure.
            int key = KEYS;
            switch (name.size()) {
            case 2: key = ID; break;
            case 4: key = name[0] == 'l' ? LINK : name[0] == 'b' ? BODY : name[0] == 'r' ? READ : ICON; break;
            case 7: key = name[0] == 's' ? SUBJECT : name[1] == 'h' ? CHANNEL : CREATED; break;
            case 8: key = PRIORITY; break;
            case 12: key = ORGANIZATION; break;
            default: break;
            }
            if (key != KEYS && NAMES[key] == name)
                values[key] = &*it;
        }
    } else {
        for (int key = 0; key < KEYS; ++key)
            values[key] = &item[std::string(NAMES[key])];
    }
    Message message;
    message.id = text_of(*values[ID]);
    message.channel = text_of(*values[CHANNEL]);
    message.organization = text_of(*values[ORGANIZATION]);
    message.subject = text_of(*values[SUBJECT]);
    message.link = text_of(*values[LINK]);
    message.body = text_of(*values[BODY]);
    message.read = values[READ]->asBool();
    const char* created = nullptr;
    const char* created_end = nullptr;
    message.created = values[CREATED]->getString(&created, &created_end)
                          ? parse_date_time(std::string_view(created, static_cast<std::size_t>(created_end - created)))
                          : parse_date_time(values[CREATED]->asString());
    message.priority = values[PRIORITY]->asUInt();
    message.icon = text_of(*values[ICON]);
    return message;
}

MessageList parse_messages_items(std::string_view body) {
    static constexpr const wchar_t* NAME = L"agent::details::parse_messages_items";
    Json::Value root;
    std::string errors;
    if (!read_json(body, root, errors)) {
        AGENT_ERROR(NAME) << errors;
        throw std::runtime_error(errors);
    }
    if (!root.isObject() && !root.isNull())
        throw AgentException(AgentException::BAD_ANSWER, "the message list is not a JSON object");

    MessageList list;
    const Json::Value& items = root["items"];
    if (items.isArray()) {
        list.messages.reserve(items.size());
        for (Json::ArrayIndex i = 0; i < items.size(); ++i) {
            try {
                list.messages.push_back(read_message(items[i]));
            } catch (const std::exception& error) {
                AGENT_ERROR(NAME) << "Item " << i << " skipped: " << describe(error);
            }
        }
    }
    const Json::Value& links = root["links"];
    if (links.isArray()) {
        for (const Json::Value& link : links) {
            if (!link.isObject() || !link["rel"].isString() || !link["href"].isConvertibleTo(Json::stringValue))
                continue;
            const std::string rel = link["rel"].asString();
            if (rel == "previous")
                list.previous = utf8_to_wide(link["href"].asString());
            else if (rel == "next")
                list.next = utf8_to_wide(link["href"].asString());
        }
    }
    return list;
}

MessageList parse_messages_items(const std::vector<std::uint8_t>& body) {
    return parse_messages_items(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
}

}  // namespace details

}  // namespace agent
