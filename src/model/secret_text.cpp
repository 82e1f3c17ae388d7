#include "model/secret_text.h"

#include "details/strings.h"

namespace agent::details {

std::wstring encode_query_value(const std::wstring& value) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::wstring result;
    for (const unsigned char byte : wide_to_utf8(value)) {
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
                           byte == '-' || byte == '.' || byte == '_' || byte == '~' || byte == '@';
        if (plain) {
            result.push_back(static_cast<wchar_t>(byte));
        } else {
            result.push_back(L'%');
            result.push_back(static_cast<wchar_t>(HEX[byte >> 4]));
            result.push_back(static_cast<wchar_t>(HEX[byte & 0x0F]));
        }
    }
    return result;
}

}  // namespace agent::details
