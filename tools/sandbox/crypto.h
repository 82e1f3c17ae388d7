#pragma once

// OpenSSL for the stand-in provider: the loopback CA and server certificate of the TLS
// mode, and the certificate sign-in challenge (a CMS EnvelopedData for the user's key).

#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace sandbox::crypto {

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct PKeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CmsFree {
    void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsFree>;

struct TlsFiles {
    std::filesystem::path ca_certificate;  // PEM, for the client's trust
    std::filesystem::path certificate;     // PEM, the server's, for 127.0.0.1 and localhost
    std::filesystem::path private_key;     // PEM, mode 0600
};

// The CA and server certificate kept in the directory: made on first use, reused afterwards.
// Throws std::runtime_error with OpenSSL's text on failure.
TlsFiles ensure_tls_files(const std::filesystem::path& directory);

// What certificate sign-in needs of a user certificate.
struct CertificateInfo {
    X509Ptr certificate;
    std::string email;        // emailAddress of the subject, or the first e-mail SAN
    std::string surname;      // 2.5.4.4
    std::string given_name;   // 2.5.4.42 (name and patronymic)
    std::string common_name;  // 2.5.4.3
    std::string fingerprint;  // SHA-256, hex
    bool expired = false;
    bool not_yet_valid = false;
};

// Nothing when the bytes are not one DER certificate (trailing bytes included).
std::optional<CertificateInfo> read_certificate(const std::string& der);

// DER of a CMS EnvelopedData holding `plain` for the certificate's public key: AES-256-CBC
// for RSA keys, GOST 28147-89 for GOST R 34.10-2012 keys (with OpenSSL's GOST engine).
// Throws std::runtime_error with OpenSSL's text when the key cannot receive it.
std::string envelope_for(X509* certificate, const std::string& plain);

// Random bytes from OpenSSL's generator.
std::string random_bytes(std::size_t count);

// OpenSSL's queued error texts (emptied), or `fallback` when none.
std::string openssl_error(const std::string& fallback);

}  // namespace sandbox::crypto
