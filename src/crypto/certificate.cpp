#include "crypto/certificate.h"

#include <ctime>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "details/exception.h"

namespace agent::crypto {

namespace {

bool is_digit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

details::ObjectPtr object(const char* dotted) {
    return details::ObjectPtr(OBJ_txt2obj(dotted, 1));
}

std::wstring first_alternative_name(X509* certificate) {
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    if (names == nullptr) {
        ERR_clear_error();
        return {};
    }
    std::wstring result;
    for (int i = 0; i < sk_GENERAL_NAME_num(names) && result.empty(); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_EMAIL || name->type == GEN_DNS)
            result = details::asn1_string_text(name->d.ia5);
    }
    GENERAL_NAMES_free(names);
    return result;
}

}  // namespace

Certificate::Certificate(details::X509Ptr certificate, std::shared_ptr<const IPrivateKey> key,
                         std::wstring store_name, Carrier carrier)
    : certificate_(std::move(certificate)), key_(std::move(key)), store_name_(std::move(store_name)), carrier_(carrier) {}

Certificate::Certificate(const Certificate& other)
    : key_(other.key_), store_name_(other.store_name_), carrier_(other.carrier_) {
    if (other.certificate_) {
        X509_up_ref(other.certificate_.get());
        certificate_.reset(other.certificate_.get());
    }
}

Certificate& Certificate::operator=(const Certificate& other) {
    if (this != &other) {
        Certificate copy(other);
        *this = std::move(copy);
    }
    return *this;
}

std::vector<std::uint8_t> Certificate::encoded() const {
    unsigned char* data = nullptr;
    const int size = i2d_X509(certificate_.get(), &data);
    if (size < 0)
        details::throw_openssl_error("i2d_X509", ERR_PACK(ERR_LIB_X509, 0, ERR_R_INTERNAL_ERROR));
    std::vector<std::uint8_t> bytes(data, data + size);
    OPENSSL_free(data);
    return bytes;
}

std::wstring Certificate::attribute(const char* oid) const {
    const details::ObjectPtr type = object(oid);
    if (!type) {
        ERR_clear_error();
        return {};
    }
    const X509_NAME* subject = X509_get_subject_name(certificate_.get());
    const int index = X509_NAME_get_index_by_OBJ(subject, type.get(), -1);
    if (index < 0)
        return {};
    return details::asn1_string_text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
}

std::wstring Certificate::inn() const {
    std::wstring value = attribute(oid::INN);
    // A ten-digit organisation INN is stored padded to twelve characters.
    if (value.size() == 12 && value.compare(0, 2, L"00") == 0)
        value.erase(0, 2);
    return value;
}

std::wstring Certificate::kpp() const {
    return details::extract_kpp(attribute(oid::UNSTRUCTURED_NAME));
}

std::wstring Certificate::person_name() const {
    const std::wstring given_name = attribute(oid::GIVEN_NAME);
    if (given_name.empty())
        return display_name();
    return attribute(oid::SURNAME) + L" " + given_name;
}

std::wstring Certificate::display_name() const {
    for (const char* type : {oid::COMMON_NAME, oid::ORGANIZATIONAL_UNIT, oid::ORGANIZATION, oid::EMAIL_ADDRESS}) {
        std::wstring value = attribute(type);
        if (!value.empty())
            return value;
    }
    return first_alternative_name(certificate_.get());
}

DateTime Certificate::valid_from() const {
    return details::to_datetime(X509_get0_notBefore(certificate_.get()));
}

DateTime Certificate::valid_to() const {
    return details::to_datetime(X509_get0_notAfter(certificate_.get()));
}

namespace details {

std::wstring extract_kpp(const std::wstring& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (!is_digit(text[i])) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < text.size() && is_digit(text[i]))
            ++i;
        if (i - start == 9)
            return text.substr(start, 9);
    }
    return {};
}

DateTime to_datetime(const ASN1_TIME* time) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        throw_openssl_error("ASN1_TIME_to_tm", ERR_PACK(ERR_LIB_ASN1, 0, ASN1_R_ILLEGAL_TIME_VALUE));
    return from_calendar(parts, DateTime::Utc);
}

}  // namespace details

}  // namespace agent::crypto
