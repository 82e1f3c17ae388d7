#include "crypto/openssl.h"

#include <algorithm>
#include <climits>

#include <openssl/err.h>

#include "details/exception.h"
#include "details/strings.h"

namespace agent::crypto::details {

std::uint32_t take_openssl_error(std::uint32_t fallback) noexcept {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    return code != 0 ? static_cast<std::uint32_t>(code) : fallback;
}

void throw_openssl_error(const char* function, std::uint32_t fallback) {
    throw CryptoException(take_openssl_error(fallback), function);
}

BioPtr memory_reader(const std::uint8_t* data, std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX))
        throw CryptoException(ERR_PACK(ERR_LIB_BIO, 0, ERR_R_PASSED_INVALID_ARGUMENT), "BIO_new_mem_buf");
    BioPtr bio(BIO_new_mem_buf(size == 0 ? "" : static_cast<const void*>(data), static_cast<int>(size)));
    if (!bio)
        throw_openssl_error("BIO_new_mem_buf", ERR_PACK(ERR_LIB_BIO, 0, ERR_R_MALLOC_FAILURE));
    return bio;
}

Secret::Secret(std::wstring&& text) : text_(agent::details::wide_to_utf8(text)) {
    std::fill(text.begin(), text.end(), L'\0');
}

Secret::~Secret() {
    OPENSSL_cleanse(text_.data(), text_.size());
}

Secret ask_pin(IPinPrompt* prompt, const std::wstring& holder, const std::wstring& location) {
    if (prompt == nullptr)
        throw CryptoException(CryptoException::PIN_CANCELLED, "ask_pin");
    std::optional<std::wstring> pin = prompt->ask_pin(PinRequest{holder, location});
    if (!pin)
        throw CryptoException(CryptoException::PIN_CANCELLED, "ask_pin");
    return Secret(std::move(*pin));
}

std::string fingerprint(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) {
        ERR_clear_error();
        return {};
    }
    return std::string(reinterpret_cast<const char*>(digest), size);
}

std::wstring asn1_string_text(const ASN1_STRING* value) {
    if (value == nullptr)
        return {};
    unsigned char* utf8 = nullptr;
    const int size = ASN1_STRING_to_UTF8(&utf8, value);
    if (size < 0) {
        ERR_clear_error();
        return {};
    }
    std::wstring text = agent::details::utf8_to_wide(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(size));
    OPENSSL_free(utf8);
    return text;
}

}  // namespace agent::crypto::details
