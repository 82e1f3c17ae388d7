#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/x509.h>

#include "crypto/openssl.h"
#include "crypto/pin_prompt.h"
#include "model/datetime.h"

namespace agent::crypto {

// Subject attribute identifiers of qualified certificates.
namespace oid {
inline constexpr const char* COMMON_NAME = "2.5.4.3";
inline constexpr const char* SURNAME = "2.5.4.4";
inline constexpr const char* GIVEN_NAME = "2.5.4.42";
inline constexpr const char* ORGANIZATION = "2.5.4.10";
inline constexpr const char* ORGANIZATIONAL_UNIT = "2.5.4.11";
inline constexpr const char* COUNTRY = "2.5.4.6";
inline constexpr const char* REGION = "2.5.4.8";
inline constexpr const char* INN = "1.2.643.3.131.1.1";
inline constexpr const char* OGRN = "1.2.643.100.1";
inline constexpr const char* OGRNIP = "1.2.643.100.5";
inline constexpr const char* SNILS = "1.2.643.100.3";
inline constexpr const char* UNSTRUCTURED_NAME = "1.2.840.113549.1.9.2";
inline constexpr const char* EMAIL_ADDRESS = "1.2.840.113549.1.9.1";
}  // namespace oid

// Where a certificate's private key lives and how to get at it. The directory store has
// one kind per file format; a PKCS#11 token would add its own.
class IPrivateKey {
public:
    virtual ~IPrivateKey() = default;

    // A file path or token address, for logs and the PIN prompt.
    virtual std::wstring location() const = 0;

    // The key, ready for decryption. A key without a PIN never asks the prompt. Throws
    // CryptoException: WRONG_PIN, PIN_CANCELLED (also when a PIN is needed and no prompt
    // is given), or the library's code for a damaged key.
    virtual details::EvpPkeyPtr load(IPinPrompt* prompt, const std::wstring& holder) const = 0;
};

// What carries a certificate and its key: a file of the certificate folder, or a token
// (a smart card or USB key reached through PKCS#11).
enum class Carrier { File, Token };

// One certificate of a store: an owned X.509 object, where it came from, and its private
// key when the store has one. Copying duplicates the certificate reference (X509_up_ref);
// the key description is immutable and shared.
class Certificate {
public:
    Certificate(details::X509Ptr certificate, std::shared_ptr<const IPrivateKey> key, std::wstring store_name,
                Carrier carrier = Carrier::File);
    Certificate(const Certificate& other);
    Certificate& operator=(const Certificate& other);
    Certificate(Certificate&&) noexcept = default;
    Certificate& operator=(Certificate&&) noexcept = default;

    X509* handle() const noexcept { return certificate_.get(); }
    const std::wstring& store_name() const noexcept { return store_name_; }
    Carrier carrier() const noexcept { return carrier_; }
    bool has_private_key() const noexcept { return key_ != nullptr; }
    const std::shared_ptr<const IPrivateKey>& private_key() const noexcept { return key_; }

    // The DER encoding, sent to the authentication service.
    std::vector<std::uint8_t> encoded() const;

    // The first subject attribute with the OID; empty when there is none.
    std::wstring attribute(const char* oid) const;
    // The INN; a 12-character value beginning with "00" loses those two characters.
    std::wstring inn() const;
    // The first run of exactly nine digits in the unstructured name; empty when none.
    std::wstring kpp() const;
    // Surname + " " + given name when there is a given name, else the display name.
    std::wstring person_name() const;
    // Common name, else unit, organisation, e-mail address, else the first e-mail or DNS
    // name of the subject's alternative names.
    std::wstring display_name() const;

    // NotBefore and NotAfter as UTC calendar times. A time OpenSSL cannot read throws
    // CryptoException "ASN1_TIME_to_tm".
    DateTime valid_from() const;
    DateTime valid_to() const;

private:
    details::X509Ptr certificate_;
    std::shared_ptr<const IPrivateKey> key_;
    std::wstring store_name_;
    Carrier carrier_ = Carrier::File;
};

namespace details {
// The nine-digit KPP in an unstructured-name text: the first run of exactly nine digits.
std::wstring extract_kpp(const std::wstring& text);
// An ASN.1 time as a UTC calendar time; throws CryptoException "ASN1_TIME_to_tm".
DateTime to_datetime(const ASN1_TIME* time);
}  // namespace details

}  // namespace agent::crypto
