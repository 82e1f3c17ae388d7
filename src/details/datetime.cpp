#include "details/datetime.h"

#include <cwchar>

namespace agent {

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
