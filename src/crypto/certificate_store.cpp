#include "crypto/certificate_store.h"

#include <algorithm>
#include <ctime>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "crypto/user_store.h"
#include "details/exception.h"
#include "details/logger.h"
#include "details/path.h"

namespace agent::crypto {

namespace details {

namespace {

constexpr const char* KEY_USAGE = "2.5.29.15";
constexpr const char* AUTHORITY_KEY_IDENTIFIER = "2.5.29.35";
constexpr const char* CERTIFICATE_POLICIES = "2.5.29.32";
constexpr const char* CRL_DISTRIBUTION_POINTS = "2.5.29.31";
constexpr const char* SUBJECT_SIGN_TOOL = "1.2.643.100.111";
constexpr const char* ISSUER_SIGN_TOOLS = "1.2.643.100.112";
constexpr const char* POLICY_KC1 = "1.2.643.100.113.1";

bool all_digits(const std::wstring& text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

bool is_number(const std::wstring& text, std::size_t length) {
    return text.size() == length && all_digits(text);
}

std::string dotted(const ASN1_OBJECT* object) {
    char text[128];
    const int size = OBJ_obj2txt(text, sizeof text, object, 1);
    return size > 0 && static_cast<std::size_t>(size) < sizeof text ? std::string(text, static_cast<std::size_t>(size))
                                                                     : std::string();
}

bool length_within(const std::wstring& text, std::size_t most) {
    return !text.empty() && text.size() <= most;
}

// The text of a DER value that must be one of the ASN.1 string types; nullopt otherwise.
std::optional<std::wstring> string_value(const ASN1_TYPE* value) {
    if (value == nullptr)
        return std::nullopt;
    switch (value->type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_NUMERICSTRING:
        return asn1_string_text(value->value.asn1_string);
    default:
        return std::nullopt;
    }
}

bool key_usage_set(const ASN1_OCTET_STRING* data) {
    const unsigned char* p = data->data;
    ASN1_BIT_STRING* bits = d2i_ASN1_BIT_STRING(nullptr, &p, data->length);
    if (bits == nullptr) {
        ERR_clear_error();
        return false;
    }
    const int count = std::min(bits->length, 4);
    bool any = false;
    for (int i = 0; i < count; ++i)
        any = any || bits->data[i] != 0;
    ASN1_BIT_STRING_free(bits);
    return any;
}

bool authority_key_id_present(const ASN1_OCTET_STRING* data) {
    const unsigned char* p = data->data;
    AUTHORITY_KEYID* identifier = d2i_AUTHORITY_KEYID(nullptr, &p, data->length);
    if (identifier == nullptr)
        throw_openssl_error("d2i_AUTHORITY_KEYID", ERR_PACK(ERR_LIB_ASN1, 0, ASN1_R_BAD_OBJECT_HEADER));
    const bool present = identifier->keyid != nullptr && identifier->keyid->length > 0;
    AUTHORITY_KEYID_free(identifier);
    return present;
}

enum class PolicyResult { Found, Missing, Unreadable };

PolicyResult kc1_policy(const ASN1_OCTET_STRING* data) {
    const unsigned char* p = data->data;
    CERTIFICATEPOLICIES* policies = d2i_CERTIFICATEPOLICIES(nullptr, &p, data->length);
    if (policies == nullptr) {
        ERR_clear_error();
        return PolicyResult::Unreadable;
    }
    PolicyResult result = PolicyResult::Missing;
    for (int i = 0; i < sk_POLICYINFO_num(policies) && result == PolicyResult::Missing; ++i)
        if (dotted(sk_POLICYINFO_value(policies, i)->policyid) == POLICY_KC1)
            result = PolicyResult::Found;
    CERTIFICATEPOLICIES_free(policies);
    return result;
}

// SEQUENCE { signTool, cATool, signToolCert, cAToolCert }, each a string.
bool issuer_sign_tools_fit(const ASN1_OCTET_STRING* data) {
    const unsigned char* p = data->data;
    ASN1_SEQUENCE_ANY* items = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, data->length);
    if (items == nullptr) {
        ERR_clear_error();
        return false;
    }
    bool fit = sk_ASN1_TYPE_num(items) == 4;
    for (int i = 0; fit && i < 4; ++i) {
        const std::optional<std::wstring> text = string_value(sk_ASN1_TYPE_value(items, i));
        fit = text.has_value() && length_within(*text, i < 2 ? 202 : 102);
    }
    sk_ASN1_TYPE_pop_free(items, ASN1_TYPE_free);
    return fit;
}

bool subject_sign_tool_fits(const ASN1_OCTET_STRING* data) {
    const unsigned char* p = data->data;
    ASN1_TYPE* value = d2i_ASN1_TYPE(nullptr, &p, data->length);
    if (value == nullptr) {
        ERR_clear_error();
        return false;
    }
    const std::optional<std::wstring> text = string_value(value);
    ASN1_TYPE_free(value);
    return text.has_value() && length_within(*text, 202);
}

bool present(const SubjectAttributes& subject, const char* oid) {
    return subject.find(oid) != subject.end();
}

const std::wstring& value_of(const SubjectAttributes& subject, const char* oid) {
    static const std::wstring empty;
    const auto found = subject.find(oid);
    return found == subject.end() ? empty : found->second;
}

}  // namespace

CertCustomFilterFn::CertCustomFilterFn(bool require_private_key, bool check_validity, bool require_qualified,
                                       UtcClock clock)
    : require_private_key(require_private_key),
      check_validity(check_validity),
      require_qualified(require_qualified),
      clock_(std::move(clock)) {}

bool CertCustomFilterFn::operator()(const Certificate& certificate) const {
    if (require_private_key && !certificate.has_private_key())
        return false;
    if (require_qualified && !(check_subject(read_subject(certificate)) && check_extensions(certificate)))
        return false;
    if (check_validity) {
        const DateTime now = clock_();
        if (certificate.valid_to() < now || now < certificate.valid_from())
            return false;
    }
    return true;
}

SubjectAttributes read_subject(const Certificate& certificate) {
    SubjectAttributes result;
    const X509_NAME* subject = X509_get_subject_name(certificate.handle());
    for (int i = 0; i < X509_NAME_entry_count(subject); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, i);
        result.emplace(dotted(X509_NAME_ENTRY_get_object(entry)), asn1_string_text(X509_NAME_ENTRY_get_data(entry)));
    }
    return result;
}

bool check_subject(const SubjectAttributes& subject) {
    if (!present(subject, oid::COMMON_NAME) || !present(subject, oid::INN))
        return false;
    const std::wstring& inn = value_of(subject, oid::INN);
    if (!is_number(inn, 12))
        return false;
    const bool names = present(subject, oid::GIVEN_NAME) && present(subject, oid::SURNAME);
    const bool organisation_inn = inn.compare(0, 2, L"00") == 0 && inn != std::wstring(12, L'0');

    if (!organisation_inn) {
        if (!present(subject, oid::SNILS) || !is_number(value_of(subject, oid::SNILS), 11) || !names)
            return false;
        return !present(subject, oid::OGRNIP) || is_number(value_of(subject, oid::OGRNIP), 15);
    }

    const std::wstring& ogrn = value_of(subject, oid::OGRN);
    if (!present(subject, oid::OGRN) || !is_number(ogrn, 13))
        return false;
    // Thirteen zeros stand for an organisation without a Russian registration number,
    // whose INN then carries "99" in its third and fourth characters.
    if (ogrn == std::wstring(13, L'0') && !(inn[2] == L'9' && inn[3] == L'9'))
        return false;
    if (!present(subject, oid::ORGANIZATION) || !present(subject, oid::REGION) || !present(subject, oid::COUNTRY) ||
        present(subject, oid::OGRNIP))
        return false;
    if (!present(subject, oid::SNILS))
        return !present(subject, oid::GIVEN_NAME) && !present(subject, oid::SURNAME);
    return is_number(value_of(subject, oid::SNILS), 11) && names;
}

bool check_extensions(const Certificate& certificate) {
    X509* x509 = certificate.handle();
    bool marked = false;
    for (int i = 0; i < X509_get_ext_count(x509); ++i) {
        X509_EXTENSION* extension = X509_get_ext(x509, i);
        const std::string type = dotted(X509_EXTENSION_get_object(extension));
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
        bool passed = true;
        if (type == KEY_USAGE) {
            passed = key_usage_set(data);
        } else if (type == AUTHORITY_KEY_IDENTIFIER) {
            passed = authority_key_id_present(data);
        } else if (type == CERTIFICATE_POLICIES) {
            const PolicyResult policy = kc1_policy(data);
            if (policy == PolicyResult::Missing)
                continue;
            passed = policy == PolicyResult::Found;
        } else if (type == ISSUER_SIGN_TOOLS) {
            passed = issuer_sign_tools_fit(data);
        } else if (type == SUBJECT_SIGN_TOOL) {
            passed = subject_sign_tool_fits(data);
        } else if (type != CRL_DISTRIBUTION_POINTS) {
            continue;
        }
        if (!passed)
            return marked;
        marked = true;
    }
    return marked;
}

}  // namespace details

std::vector<Certificate> list_certificates(ICertificateStore& store, const CertificateFilter& filter,
                                           IPinPrompt* prompt) {
    std::vector<Certificate> result;
    for (Certificate& certificate : store.enumerate(prompt)) {
        try {
            if (filter(certificate))
                result.push_back(std::move(certificate));
        } catch (const Exception& e) {
            AGENT_ERROR(L"agent::crypto::list_certificates")
                << "Skipped \"" << certificate.display_name() << "\" of " << store.name() << ": " << e.description();
        } catch (const std::exception& e) {
            AGENT_ERROR(L"agent::crypto::list_certificates")
                << "Skipped \"" << certificate.display_name() << "\" of " << store.name() << ": " << e.what();
        }
    }
    AGENT_INFO(L"agent::crypto::list_certificates") << "Store " << store.name() << ": " << result.size() << " listed";
    return result;
}

std::wstring default_certificate_directory() {
    const std::wstring base = agent::details::path::get_user_data_directory();
    return base.empty() ? std::wstring() : agent::details::path::join(base, L"certificates");
}

std::vector<Certificate> list_sign_in_certificates(IPinPrompt* prompt) {
    UserCertificateStore store(default_certificate_directory());
    const details::CertCustomFilterFn filter(true, true, true);
    return list_certificates(store, filter, prompt);
}

}  // namespace agent::crypto
