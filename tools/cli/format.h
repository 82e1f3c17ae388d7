#pragma once

#include <cstddef>
#include <string>

#include "model/datetime.h"

namespace agent {
struct Channel;
struct LinkItem;
struct Message;
namespace details {
struct UserInfo;
}
}  // namespace agent

// One line per item, fields separated by tabs, so the output reads well and goes through
// grep, cut and awk. Tabs and line breaks inside a field become blanks.
namespace agent::cli {

// "2026-12-07 09:05"
std::wstring format_date_time(const DateTime& time);
// "2026-12-07"
std::wstring format_date(const DateTime& time);

// date and time, "unread" or "read", organisation, subject, id
std::wstring format_message(const Message& message);
// id, "on" or "off", sender name, name
std::wstring format_channel(const Channel& channel);
// title, address, "enabled" or "disabled"
std::wstring format_link(const LinkItem& link);
// last name, first name and middle name, then the user id
std::wstring format_user(const details::UserInfo& user);

// What `certs` shows of one certificate.
struct CertificateLine {
    std::size_t number = 0;  // from 1
    std::wstring organization;
    std::wstring holder;
    std::wstring inn;
    std::wstring kpp;  // empty: left out
    DateTime valid_to;
    bool on_token = false;  // the key's carrier: a token, else a file
};
// number, organisation, holder, "INN <inn>", "KPP <kpp>" when present, "valid to <date>",
// then the carrier: "file" or "token"
std::wstring format_certificate(const CertificateLine& line);

}  // namespace agent::cli
