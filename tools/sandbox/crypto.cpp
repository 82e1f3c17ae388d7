#include "crypto.h"

#include "certgen/certgen.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>

namespace sandbox::crypto {

namespace fs = std::filesystem;

namespace {

struct BioFree {
    void operator()(BIO* p) const { BIO_free_all(p); }
};
struct NameFree {
    void operator()(X509_NAME* p) const { X509_NAME_free(p); }
};
struct ExtFree {
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
struct FileClose {
    void operator()(std::FILE* p) const { std::fclose(p); }
};
struct GeneralNamesFree {
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(openssl_error(what)); }

PKeyPtr make_key() {
    PKeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        fail("EVP_EC_gen");
    return key;
}

void add_extension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, ExtFree> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1)
        fail("X509_add_ext");
}

X509Ptr make_certificate(const std::string& common_name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key,
                         bool ca) {
    X509Ptr certificate(X509_new());
    if (!certificate)
        fail("X509_new");
    X509_set_version(certificate.get(), 2);
    const std::string serial = random_bytes(16);
    BIGNUM* number = BN_bin2bn(reinterpret_cast<const unsigned char*>(serial.data()), 15, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 10L * 365 * 24 * 3600);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Varnel stand-in provider"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : certificate.get();
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer));
    if (ca) {
        add_extension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        add_extension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        add_extension(certificate.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        add_extension(certificate.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        add_extension(certificate.get(), signer, NID_key_usage, "critical,digitalSignature");
        add_extension(certificate.get(), signer, NID_ext_key_usage, "serverAuth");
        add_extension(certificate.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost");
        add_extension(certificate.get(), signer, NID_subject_key_identifier, "hash");
        add_extension(certificate.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    if (X509_sign(certificate.get(), issuer_key, EVP_sha256()) == 0)
        fail("X509_sign");
    return certificate;
}

FilePtr open_for_writing(const fs::path& file, mode_t mode) {
    const mode_t old = ::umask(static_cast<mode_t>(~mode & 0777));
    FilePtr out(std::fopen(file.c_str(), "wb"));
    ::umask(old);
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
    return out;
}

void write_certificate(const fs::path& file, X509* certificate) {
    const FilePtr out = open_for_writing(file, 0644);
    if (PEM_write_X509(out.get(), certificate) != 1)
        fail("PEM_write_X509");
}

void write_key(const fs::path& file, EVP_PKEY* key) {
    const FilePtr out = open_for_writing(file, 0600);
    if (PEM_write_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        fail("PEM_write_PrivateKey");
}

std::string name_entry(X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return {};
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0)
        return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

std::string first_email_san(X509* certificate) {
    std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    if (!names)
        return {};
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_EMAIL)
            return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.rfc822Name)),
                               static_cast<std::size_t>(ASN1_STRING_length(name->d.rfc822Name)));
    }
    return {};
}

}  // namespace

std::string openssl_error(const std::string& fallback) {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty())
            text += "; ";
        text += buffer;
    }
    return text.empty() ? fallback : fallback + ": " + text;
}

std::string random_bytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1)
        fail("RAND_bytes");
    return bytes;
}

TlsFiles ensure_tls_files(const fs::path& directory) {
    TlsFiles files{directory / "ca.pem", directory / "server.pem", directory / "server-key.pem"};
    if (fs::exists(files.ca_certificate) && fs::exists(files.certificate) && fs::exists(files.private_key))
        return files;
    const PKeyPtr ca_key = make_key();
    const X509Ptr ca = make_certificate("Varnel stand-in CA", ca_key.get(), nullptr, ca_key.get(), true);
    const PKeyPtr server_key = make_key();
    const X509Ptr server = make_certificate("127.0.0.1", server_key.get(), ca.get(), ca_key.get(), false);
    write_key(files.private_key, server_key.get());
    write_certificate(files.certificate, server.get());
    // The CA goes last: its presence marks a complete set.
    write_certificate(files.ca_certificate, ca.get());
    return files;
}

std::optional<CertificateInfo> read_certificate(const std::string& der) {
    // A GOST key is only understood with the engine loaded: a certificate read before that
    // keeps an unreadable key for good (the first sign-in of a GOST user would fail).
    agent::certgen::load_gost_engine();
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!certificate || cursor != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) {
        ERR_clear_error();
        return std::nullopt;
    }
    CertificateInfo info;
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    info.email = name_entry(subject, NID_pkcs9_emailAddress);
    if (info.email.empty())
        info.email = first_email_san(certificate.get());
    info.surname = name_entry(subject, NID_surname);
    info.given_name = name_entry(subject, NID_givenName);
    info.common_name = name_entry(subject, NID_commonName);
    info.expired = X509_cmp_current_time(X509_get0_notAfter(certificate.get())) < 0;
    info.not_yet_valid = X509_cmp_current_time(X509_get0_notBefore(certificate.get())) > 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(certificate.get(), EVP_sha256(), digest, &length);
    static constexpr char hex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
        info.fingerprint += hex[digest[i] >> 4];
        info.fingerprint += hex[digest[i] & 15];
    }
    info.certificate = std::move(certificate);
    return info;
}

std::string envelope_for(X509* certificate, const std::string& plain) {
    // The generator's envelope is the one real clients meet: AES-256-CBC for RSA keys, and
    // for a GOST key GOST R 34.10-2012 key transport with GOST 28147-89, through OpenSSL's
    // GOST engine, the way its users' software sends it.
    if (agent::certgen::has_gost_key(certificate) && !agent::certgen::load_gost_engine())
        throw std::runtime_error("GOST keys need OpenSSL's GOST engine (libengine-gost-openssl)");
    const std::vector<std::uint8_t> envelope =
        agent::certgen::envelope(certificate, std::vector<std::uint8_t>(plain.begin(), plain.end()));
    return std::string(envelope.begin(), envelope.end());
}

}  // namespace sandbox::crypto
