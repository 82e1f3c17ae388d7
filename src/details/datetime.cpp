#include "details/datetime.h"

#include <cwchar>

namespace agent {

DateTime from_calendar(const std::tm& calendar, DateTime::Kind kind, std::uint16_t millisecond) {
    return from_calendar(calendar, calendar.tm_year + 1900, kind, millisecond);
}

DateTime from_calendar(const std::tm& calendar, int year, DateTime::Kind kind, std::uint16_t millisecond) {
    DateTime result;
    result.kind = kind;
    result.year = static_cast<std::uint16_t>(year);
    result.month = static_cast<std::uint8_t>(calendar.tm_mon + 1);
    result.day = static_cast<std::uint8_t>(calendar.tm_mday);
    result.hour = static_cast<std::uint8_t>(calendar.tm_hour);
    result.minute = static_cast<std::uint8_t>(calendar.tm_min);
    result.second = static_cast<std::uint8_t>(calendar.tm_sec);
    result.millisecond = millisecond;
    return result;
}

DateTime utc_now() {
    std::timespec now{};
    std::timespec_get(&now, TIME_UTC);
    std::tm calendar{};
    gmtime_r(&now.tv_sec, &calendar);
    return from_calendar(calendar, DateTime::Utc, static_cast<std::uint16_t>(now.tv_nsec / 1000000));
}

const wchar_t* genitive_month_name(int month) noexcept {
    static const wchar_t* const names[] = {L"января", L"февраля", L"марта",    L"апреля",  L"мая",    L"июня",
                                           L"июля",   L"августа", L"сентября", L"октября", L"ноября", L"декабря"};
    return month >= 1 && month <= 12 ? names[month - 1] : L"";
}

std::wstring format_short_date(const DateTime& time) {
    return std::to_wstring(time.day) + L" " + genitive_month_name(time.month);
}

std::wstring format_long_date(const DateTime& time) {
    return format_short_date(time) + L" " + std::to_wstring(time.year);
}

std::wstring format_time(const DateTime& time) {
    wchar_t text[8];
    std::swprintf(text, sizeof text / sizeof text[0], L"%02u:%02u", static_cast<unsigned>(time.hour),
                  static_cast<unsigned>(time.minute));
    return text;
}

}  // namespace agent
