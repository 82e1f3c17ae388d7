#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <tuple>

namespace agent {

// A calendar time as the server and the certificates give it.
struct DateTime {
    enum Kind : std::int32_t {
        Unspecified = 0,
        Utc = 1,
        Local = 2,
    };

    std::int32_t kind = Unspecified;
    std::uint16_t year = 0;
    std::uint8_t month = 0;
    std::uint8_t day = 0;
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;
    std::uint16_t millisecond = 0;

    // Ordered by the calendar fields; the kind takes no part.
    auto fields() const { return std::tie(year, month, day, hour, minute, second, millisecond); }
    friend bool operator==(const DateTime& a, const DateTime& b) { return a.fields() == b.fields(); }
    friend bool operator<(const DateTime& a, const DateTime& b) { return a.fields() < b.fields(); }
    friend bool operator>(const DateTime& a, const DateTime& b) { return b < a; }
    friend bool operator<=(const DateTime& a, const DateTime& b) { return !(b < a); }
    friend bool operator>=(const DateTime& a, const DateTime& b) { return !(a < b); }
};

// The calendar fields of a broken-down time (tm_year counts from 1900, tm_mon from 0), with
// the year given apart when the caller has counted it differently.
DateTime from_calendar(const std::tm& calendar, DateTime::Kind kind, std::uint16_t millisecond = 0);
DateTime from_calendar(const std::tm& calendar, int year, DateTime::Kind kind, std::uint16_t millisecond = 0);

// The current time in UTC, to the millisecond.
DateTime utc_now();

// "января" … "декабря" for months 1 to 12; empty for any other month.
const wchar_t* genitive_month_name(int month) noexcept;

// Text forms shown for certificate dates and message times:
// long "7 декабря 2026", short "7 декабря", time "09:05".
std::wstring format_long_date(const DateTime& time);
std::wstring format_short_date(const DateTime& time);
std::wstring format_time(const DateTime& time);

}  // namespace agent
