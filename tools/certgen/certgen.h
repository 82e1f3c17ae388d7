#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

// Test certificates shaped like Russian qualified electronic-signature certificates: a
// self-signed test authority, user certificates it issues (person, organisation or
// individual entrepreneur) with the subject attributes and extensions the agent's sign-in
// listing looks for, PKCS#12 and PEM output, and CMS EnvelopedData challenges for them.
// Used by the stand-in provider's make-cert command, the tests and the benchmarks.
// Every failure throws std::runtime_error with OpenSSL's error text.
namespace agent::certgen {

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct X509Deleter {
    void operator()(X509* certificate) const noexcept { X509_free(certificate); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

// Subject attribute and extension identifiers of qualified certificates.
namespace oid {
inline constexpr const char* COMMON_NAME = "2.5.4.3";
inline constexpr const char* SURNAME = "2.5.4.4";
inline constexpr const char* GIVEN_NAME = "2.5.4.42";
inline constexpr const char* ORGANIZATION = "2.5.4.10";
inline constexpr const char* COUNTRY = "2.5.4.6";
inline constexpr const char* REGION = "2.5.4.8";
inline constexpr const char* LOCALITY = "2.5.4.7";
inline constexpr const char* INN = "1.2.643.3.131.1.1";
inline constexpr const char* OGRN = "1.2.643.100.1";
inline constexpr const char* OGRNIP = "1.2.643.100.5";
inline constexpr const char* SNILS = "1.2.643.100.3";
inline constexpr const char* UNSTRUCTURED_NAME = "1.2.840.113549.1.9.2";
inline constexpr const char* SUBJECT_SIGN_TOOL = "1.2.643.100.111";
inline constexpr const char* ISSUER_SIGN_TOOLS = "1.2.643.100.112";
inline constexpr const char* POLICY_KC1 = "1.2.643.100.113.1";
inline constexpr const char* POLICY_KC2 = "1.2.643.100.113.2";
}  // namespace oid

// A fresh RSA key (RSA keys take the challenge by key transport).
PkeyPtr generate_rsa_key(int bits = 2048);

enum class KeyKind { Rsa, Gost2012_256, Gost2012_512 };

// Loads OpenSSL's GOST engine (libengine-gost-openssl) once; false when it is missing.
bool load_gost_engine();
// The certificate's public key is a GOST R 34.10 key (read without the engine).
bool has_gost_key(X509* certificate);
// A fresh GOST R 34.10-2012 key (parameter set A) through the engine; throws
// std::runtime_error when the engine is missing.
PkeyPtr generate_gost_key(KeyKind kind);

// A self-signed certificate authority for tests, valid ten years from yesterday.
class Authority {
public:
    explicit Authority(const std::string& common_name = "Varnel Test CA", int key_bits = 2048);
    Authority(Authority&&) noexcept = default;
    Authority& operator=(Authority&&) noexcept = default;

    X509* certificate() const noexcept { return certificate_.get(); }
    EVP_PKEY* key() const noexcept { return key_.get(); }
    std::string certificate_pem() const;

private:
    PkeyPtr key_;
    X509Ptr certificate_;
};

enum class SubjectKind { Person, Organization, Entrepreneur };

// Everything a user certificate carries. for_kind() fills a subject that passes the
// qualified checks for the kind; tests then remove or spoil single fields. std::nullopt
// leaves an attribute or extension out.
struct UserOptions {
    SubjectKind kind = SubjectKind::Person;

    std::optional<std::string> common_name;
    std::optional<std::string> surname;
    std::optional<std::string> given_name;  // given name and patronymic
    std::optional<std::string> organization;
    std::optional<std::string> country;
    std::optional<std::string> region;
    std::optional<std::string> locality;
    std::optional<std::string> inn;
    std::optional<std::string> ogrn;
    std::optional<std::string> ogrnip;
    std::optional<std::string> snils;
    std::optional<std::string> unstructured_name;  // carries the KPP of an organisation
    // Further attributes, appended after the ones above: (dotted OID, UTF-8 value).
    std::vector<std::pair<std::string, std::string>> extra_subject;

    // Validity in seconds since the epoch; for_kind(): from a day ago for a year.
    std::time_t not_before = 0;
    std::time_t not_after = 0;

    bool key_usage = true;  // digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment
    bool authority_key_id = true;
    std::vector<std::string> policies;   // dotted OIDs; empty: no policies extension
    std::vector<std::string> crl_urls;   // empty: no CRL distribution points
    std::optional<std::string> subject_sign_tool;
    std::optional<std::array<std::string, 4>> issuer_sign_tools;
    // Raw extensions added after all the others, in this order: (dotted OID, DER value).
    // Lets tests build extensions the generator would never make (empty key usage, an
    // authority key identifier without a key id, undecodable values).
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> extra_extensions;

    // false: the outputs carry the certificate alone, as a certificate without its key.
    bool with_private_key = true;
    KeyKind key_kind = KeyKind::Rsa;
    int key_bits = 2048;  // RSA keys
    // When set, the certificate is made for this key (shared, not consumed) instead of a
    // fresh one; generating hundreds of RSA keys would dominate a benchmark's set-up.
    EVP_PKEY* reuse_key = nullptr;
    // 0: random.
    std::uint64_t serial = 0;

    // A subject and extensions that pass the checks for the kind. The variant changes the
    // names and numbers so that many certificates differ from each other.
    static UserOptions for_kind(SubjectKind kind, unsigned variant = 0);

    UserOptions& expired();        // ended yesterday
    UserOptions& not_yet_valid();  // begins tomorrow
    UserOptions& without_private_key();
};

struct Pkcs12Options {
    // Empty: no PIN at all (neither the key nor the certificate is encrypted, no MAC).
    std::string pin;
    // With a PIN: encrypt the certificate too, as `openssl pkcs12 -export` does by default;
    // then the certificate cannot be read without the PIN.
    bool encrypt_certificate = false;
    std::string friendly_name = "varnel";
    // Added to the file after the user's certificate (the issuing authority, usually).
    std::vector<X509*> chain;
};

class UserCertificate {
public:
    UserCertificate(X509Ptr certificate, PkeyPtr key, bool with_private_key);

    X509* certificate() const noexcept { return certificate_.get(); }
    EVP_PKEY* key() const noexcept { return key_.get(); }
    bool with_private_key() const noexcept { return with_private_key_; }

    std::vector<std::uint8_t> der() const;
    std::string certificate_pem() const;
    // Unencrypted PKCS#8 PEM; throws when the certificate goes without its key.
    std::string key_pem() const;
    std::vector<std::uint8_t> pkcs12(const Pkcs12Options& options = {}) const;

    void write_pkcs12(const std::filesystem::path& file, const Pkcs12Options& options = {}) const;
    // The certificate alone, or the certificate followed by its key in the same file.
    void write_pem(const std::filesystem::path& file, bool include_key = true) const;

private:
    X509Ptr certificate_;
    PkeyPtr key_;
    bool with_private_key_;
};

UserCertificate issue(const Authority& authority, const UserOptions& options);

// A CMS EnvelopedData (DER) of the data for the recipient: the shape of the sign-in
// challenge. RSA key transport with AES-256-CBC, or for a GOST key GOST R 34.10-2012 key
// transport with GOST 28147-89, as `openssl cms -encrypt -gost89` makes it.
std::vector<std::uint8_t> envelope(X509* recipient, const std::vector<std::uint8_t>& data);

// Writes bytes to a file, creating its directory; throws std::runtime_error on failure.
void write_bytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);

}  // namespace agent::certgen
