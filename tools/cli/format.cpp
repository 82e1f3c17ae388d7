#include "format.h"

#include <fmt/xchar.h>

#include <initializer_list>

#include "model/channel_service.h"
#include "model/message.h"
#include "model/uri_service.h"
#include "model/user_info.h"

namespace agent::cli {

namespace {

std::wstring field(std::wstring text) {
    for (wchar_t& c : text)
        if (c == L'\t' || c == L'\n' || c == L'\r')
            c = L' ';
    return text;
}

std::wstring join(std::initializer_list<std::wstring> fields) {
    std::wstring line;
    for (const auto& text : fields) {
        if (!line.empty())
            line.push_back(L'\t');
        line += field(text);
    }
    return line;
}

}  // namespace

std::wstring format_date(const DateTime& time) {
    return fmt::format(L"{:04}-{:02}-{:02}", time.year, time.month, time.day);
}

std::wstring format_date_time(const DateTime& time) {
    return format_date(time) + fmt::format(L" {:02}:{:02}", time.hour, time.minute);
}

std::wstring format_message(const Message& message) {
    return join({format_date_time(message.created), message.read ? L"read" : L"unread", message.organization,
                 message.subject, message.id});
}

std::wstring format_channel(const Channel& channel) {
    return join({channel.id, channel.enabled ? L"on" : L"off", channel.sender_name, channel.name});
}

std::wstring format_link(const LinkItem& link) {
    return join({link.title, link.href, link.enabled ? L"enabled" : L"disabled"});
}

std::wstring format_user(const details::UserInfo& user) {
    std::wstring name;
    for (const std::wstring* part : {&user.lastname, &user.name, &user.middlename}) {
        if (part->empty())
            continue;
        if (!name.empty())
            name.push_back(L' ');
        name += *part;
    }
    return join({name, user.user_id});
}

std::wstring format_certificate(const CertificateLine& line) {
    std::wstring text = join({std::to_wstring(line.number), line.organization, line.holder, L"INN " + line.inn});
    if (!line.kpp.empty())
        text += L"\tKPP " + field(line.kpp);
    return text + L"\tvalid to " + format_date(line.valid_to) + (line.on_token ? L"\ttoken" : L"\tfile");
}

}  // namespace agent::cli
