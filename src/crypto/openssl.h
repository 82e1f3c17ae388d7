#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "crypto/pin_prompt.h"

// Owners of the OpenSSL objects the certificate layer holds, and the bridge from OpenSSL's
// error queue to CryptoException. Internal to src/crypto.
namespace agent::crypto::details {

struct OpenSslDeleter {
    void operator()(X509* p) const noexcept { X509_free(p); }
    void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
    void operator()(BIO* p) const noexcept { BIO_free(p); }
    void operator()(PKCS12* p) const noexcept { PKCS12_free(p); }
    void operator()(CMS_ContentInfo* p) const noexcept { CMS_ContentInfo_free(p); }
    void operator()(ASN1_OBJECT* p) const noexcept { ASN1_OBJECT_free(p); }
};

using X509Ptr = std::unique_ptr<X509, OpenSslDeleter>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OpenSslDeleter>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OpenSslDeleter>;
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, OpenSslDeleter>;

// The oldest error of the queue (the one that says what went wrong first), or the fallback
// when the queue is empty; the queue is cleared so that it never leaks into a later call.
std::uint32_t take_openssl_error(std::uint32_t fallback) noexcept;

// Throws CryptoException with the queued OpenSSL error (or the fallback) and the call name.
[[noreturn]] void throw_openssl_error(const char* function, std::uint32_t fallback);

// A read-only memory BIO over the bytes (which must outlive it).
BioPtr memory_reader(const std::uint8_t* data, std::size_t size);

// The text of an ASN.1 string of any string type, as wide text; empty when it cannot be
// converted.
std::wstring asn1_string_text(const ASN1_STRING* value);

// A PIN as UTF-8 (what OpenSSL's PKCS#12 and PEM code and PKCS#11 tokens expect), wiped
// when done.
class Secret {
public:
    explicit Secret(std::wstring&& text);
    ~Secret();
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    const char* c_str() const noexcept { return text_.c_str(); }
    int size() const noexcept { return static_cast<int>(text_.size()); }

private:
    std::string text_;
};

// Asks the prompt for the PIN; throws CryptoException PIN_CANCELLED ("ask_pin") when there
// is no prompt or the user cancelled.
Secret ask_pin(IPinPrompt* prompt, const std::wstring& holder, const std::wstring& location);

// SHA-256 of the certificate's DER: how a certificate found twice is recognised. Empty when
// it cannot be computed.
std::string fingerprint(X509* certificate);

}  // namespace agent::crypto::details
