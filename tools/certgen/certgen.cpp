#include "certgen/certgen.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace agent::certgen {
namespace {

constexpr std::time_t DAY = 24 * 60 * 60;

struct BioDeleter {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct ObjectDeleter {
    void operator()(ASN1_OBJECT* object) const noexcept { ASN1_OBJECT_free(object); }
};
struct ExtensionDeleter {
    void operator()(X509_EXTENSION* extension) const noexcept { X509_EXTENSION_free(extension); }
};
struct StringDeleter {
    void operator()(ASN1_STRING* text) const noexcept { ASN1_STRING_free(text); }
};
struct Pkcs12Deleter {
    void operator()(PKCS12* p12) const noexcept { PKCS12_free(p12); }
};
struct CmsDeleter {
    void operator()(CMS_ContentInfo* cms) const noexcept { CMS_ContentInfo_free(cms); }
};
struct X509StackDeleter {
    // The stack only borrows its certificates.
    void operator()(STACK_OF(X509) * stack) const noexcept { sk_X509_free(stack); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, ObjectDeleter>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, ExtensionDeleter>;
using StringPtr = std::unique_ptr<ASN1_STRING, StringDeleter>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackDeleter>;

[[noreturn]] void fail(const std::string& what) {
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    throw std::runtime_error("certgen: " + what + ": " + text);
}

template <typename T>
T* check(T* value, const char* what) {
    if (value == nullptr)
        fail(what);
    return value;
}

void check(int result, const char* what) {
    if (result <= 0)
        fail(what);
}

ObjectPtr object(const std::string& dotted) {
    ObjectPtr result(OBJ_txt2obj(dotted.c_str(), 1));
    if (!result)
        fail("bad object identifier " + dotted);
    return result;
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::vector<std::uint8_t> bio_bytes(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::vector<std::uint8_t>(data, data + size);
}

// The registration numbers are numeric strings in real certificates; we keep that, since
// the reader must take them whatever their string type.
bool is_numeric_attribute(const std::string& oid) {
    return oid == oid::INN || oid == oid::OGRN || oid == oid::OGRNIP || oid == oid::SNILS;
}

void add_name_entry(X509_NAME* name, const std::string& oid, const std::string& value) {
    const ObjectPtr type = object(oid);
    int string_type = MBSTRING_UTF8;
    if (is_numeric_attribute(oid))
        string_type = V_ASN1_NUMERICSTRING;
    else if (oid == oid::COUNTRY)
        string_type = V_ASN1_PRINTABLESTRING;
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
    check(X509_NAME_add_entry_by_OBJ(name, type.get(), string_type, bytes, static_cast<int>(value.size()), -1, 0),
          "X509_NAME_add_entry_by_OBJ");
}

void add_extension(X509* certificate, X509_EXTENSION* extension) {
    check(X509_add_ext(certificate, extension, -1), "X509_add_ext");
}

void add_conf_extension(X509* certificate, X509V3_CTX* context, int nid, const std::string& value) {
    ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, context, nid, value.c_str()));
    if (!extension)
        fail("extension " + std::string(OBJ_nid2sn(nid)) + " = " + value);
    add_extension(certificate, extension.get());
}

void add_der_extension(X509* certificate, const std::string& oid, const std::vector<std::uint8_t>& der) {
    StringPtr value(check(ASN1_OCTET_STRING_new(), "ASN1_OCTET_STRING_new"));
    check(ASN1_OCTET_STRING_set(value.get(), der.data(), static_cast<int>(der.size())), "ASN1_OCTET_STRING_set");
    const ObjectPtr type = object(oid);
    ExtensionPtr extension(
        check(X509_EXTENSION_create_by_OBJ(nullptr, type.get(), 0, value.get()), "X509_EXTENSION_create_by_OBJ"));
    add_extension(certificate, extension.get());
}

void append_der_length(std::vector<std::uint8_t>& out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
        return;
    }
    std::vector<std::uint8_t> digits;
    for (; length != 0; length >>= 8)
        digits.insert(digits.begin(), static_cast<std::uint8_t>(length & 0xFF));
    out.push_back(static_cast<std::uint8_t>(0x80 | digits.size()));
    out.insert(out.end(), digits.begin(), digits.end());
}

std::vector<std::uint8_t> der_utf8_string(const std::string& text) {
    std::vector<std::uint8_t> out{0x0C};
    append_der_length(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

std::vector<std::uint8_t> der_sequence(const std::vector<std::vector<std::uint8_t>>& items) {
    std::vector<std::uint8_t> body;
    for (const auto& item : items)
        body.insert(body.end(), item.begin(), item.end());
    std::vector<std::uint8_t> out{0x30};
    append_der_length(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

void set_serial(X509* certificate, std::uint64_t serial) {
    if (serial == 0) {
        check(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial), "RAND_bytes");
        serial = (serial >> 1) | 1;  // positive and never zero
    }
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(BN_new(), &BN_free);
    check(number.get(), "BN_new");
    check(BN_set_word(number.get(), serial), "BN_set_word");
    check(BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate)), "BN_to_ASN1_INTEGER");
}

void set_validity(X509* certificate, std::time_t not_before, std::time_t not_after) {
    check(ASN1_TIME_set(X509_getm_notBefore(certificate), not_before), "ASN1_TIME_set");
    check(ASN1_TIME_set(X509_getm_notAfter(certificate), not_after), "ASN1_TIME_set");
}

std::string digits(unsigned long long value, int width) {
    std::string text = std::to_string(value);
    if (static_cast<int>(text.size()) < width)
        text.insert(0, static_cast<std::size_t>(width) - text.size(), '0');
    return text.substr(text.size() - static_cast<std::size_t>(width));
}

}  // namespace

PkeyPtr generate_rsa_key(int bits) {
    PkeyPtr key(EVP_RSA_gen(static_cast<unsigned>(bits)));
    if (!key)
        fail("EVP_RSA_gen");
    return key;
}

PkeyPtr generate_gost_key(KeyKind kind) {
    if (!load_gost_engine())
        throw std::runtime_error("certgen: GOST keys need OpenSSL's GOST engine (libengine-gost-openssl)");
    const int nid = kind == KeyKind::Gost2012_512 ? NID_id_GostR3410_2012_512 : NID_id_GostR3410_2012_256;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new_id(nid, nullptr),
                                                                          &EVP_PKEY_CTX_free);
    check(context.get(), "EVP_PKEY_CTX_new_id");
    check(EVP_PKEY_keygen_init(context.get()), "EVP_PKEY_keygen_init");
    check(EVP_PKEY_CTX_ctrl_str(context.get(), "paramset", "A"), "paramset");
    EVP_PKEY* key = nullptr;
    check(EVP_PKEY_keygen(context.get(), &key), "EVP_PKEY_keygen");
    return PkeyPtr(key);
}

Authority::Authority(const std::string& common_name, int key_bits) : key_(generate_rsa_key(key_bits)) {
    certificate_.reset(check(X509_new(), "X509_new"));
    X509* ca = certificate_.get();
    check(X509_set_version(ca, 2), "X509_set_version");
    set_serial(ca, 0);
    const std::time_t now = std::time(nullptr);
    set_validity(ca, now - DAY, now + 3650 * DAY);
    X509_NAME* name = X509_get_subject_name(ca);
    add_name_entry(name, oid::COMMON_NAME, common_name);
    add_name_entry(name, oid::ORGANIZATION, "Varnel Test Authority");
    add_name_entry(name, oid::COUNTRY, "RU");
    check(X509_set_issuer_name(ca, name), "X509_set_issuer_name");
    check(X509_set_pubkey(ca, key_.get()), "X509_set_pubkey");

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, ca, ca, nullptr, nullptr, 0);
    add_conf_extension(ca, &context, NID_basic_constraints, "critical,CA:TRUE");
    add_conf_extension(ca, &context, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
    add_conf_extension(ca, &context, NID_subject_key_identifier, "hash");
    add_conf_extension(ca, &context, NID_authority_key_identifier, "keyid:always");
    check(X509_sign(ca, key_.get(), EVP_sha256()), "X509_sign");
}

std::string Authority::certificate_pem() const {
    BioPtr bio(check(BIO_new(BIO_s_mem()), "BIO_new"));
    check(PEM_write_bio_X509(bio.get(), certificate_.get()), "PEM_write_bio_X509");
    return bio_text(bio.get());
}

UserOptions UserOptions::for_kind(SubjectKind kind, unsigned variant) {
    UserOptions options;
    options.kind = kind;
    const std::string number = std::to_string(variant);
    const unsigned long long seed = 1000003ULL * (variant + 1);

    options.surname = "Иванов";
    options.given_name = "Иван Иванович" + (variant == 0 ? std::string() : " " + number);
    options.common_name = *options.surname + " " + *options.given_name;
    options.country = "RU";
    options.region = "77 г. Москва";
    options.locality = "Москва";
    options.snils = digits(12345678901ULL + seed, 11);

    switch (kind) {
    case SubjectKind::Person:
        options.inn = "77" + digits(seed, 10);
        break;
    case SubjectKind::Entrepreneur:
        options.inn = "50" + digits(seed, 10);
        options.ogrnip = "3" + digits(seed, 14);
        break;
    case SubjectKind::Organization: {
        const std::string inn10 = "77" + digits(seed, 8);
        const std::string kpp = "7701" + digits(seed, 5);
        const std::string ogrn = "1" + digits(seed, 12);
        options.inn = "00" + inn10;
        options.ogrn = ogrn;
        options.organization = "ООО \"Ромашка " + number + "\"";
        options.common_name = *options.organization;
        options.unstructured_name = "INN=" + inn10 + "/KPP=" + kpp + "/OGRN=" + ogrn;
        break;
    }
    }

    const std::time_t now = std::time(nullptr);
    options.not_before = now - DAY;
    options.not_after = now + 365 * DAY;
    options.policies = {oid::POLICY_KC1, oid::POLICY_KC2};
    options.crl_urls = {"http://127.0.0.1/varnel-test-ca.crl"};
    options.subject_sign_tool = "Средство электронной подписи \"Тест\" версии 1.0";
    options.issuer_sign_tools = std::array<std::string, 4>{
        "Средство электронной подписи \"Тест\" версии 1.0", "Удостоверяющий центр \"Тест\" версии 2.0",
        "Сертификат соответствия № СФ/000-0000", "Сертификат соответствия № СФ/000-0001"};
    return options;
}

UserOptions& UserOptions::expired() {
    const std::time_t now = std::time(nullptr);
    not_before = now - 366 * DAY;
    not_after = now - DAY;
    return *this;
}

UserOptions& UserOptions::not_yet_valid() {
    const std::time_t now = std::time(nullptr);
    not_before = now + DAY;
    not_after = now + 366 * DAY;
    return *this;
}

UserOptions& UserOptions::without_private_key() {
    with_private_key = false;
    return *this;
}

UserCertificate issue(const Authority& authority, const UserOptions& options) {
    PkeyPtr key;
    if (options.reuse_key != nullptr) {
        check(EVP_PKEY_up_ref(options.reuse_key), "EVP_PKEY_up_ref");
        key.reset(options.reuse_key);
    } else if (options.key_kind != KeyKind::Rsa) {
        key = generate_gost_key(options.key_kind);
    } else {
        key = generate_rsa_key(options.key_bits);
    }

    X509Ptr holder(check(X509_new(), "X509_new"));
    X509* certificate = holder.get();
    check(X509_set_version(certificate, 2), "X509_set_version");
    set_serial(certificate, options.serial);
    std::time_t not_before = options.not_before;
    std::time_t not_after = options.not_after;
    if (not_before == 0 && not_after == 0) {
        not_before = std::time(nullptr) - DAY;
        not_after = not_before + 366 * DAY;
    }
    set_validity(certificate, not_before, not_after);

    X509_NAME* name = X509_get_subject_name(certificate);
    const std::pair<const char*, const std::optional<std::string>*> attributes[] = {
        {oid::COMMON_NAME, &options.common_name}, {oid::SURNAME, &options.surname},
        {oid::GIVEN_NAME, &options.given_name},   {oid::ORGANIZATION, &options.organization},
        {oid::COUNTRY, &options.country},         {oid::REGION, &options.region},
        {oid::LOCALITY, &options.locality},       {oid::INN, &options.inn},
        {oid::OGRN, &options.ogrn},               {oid::OGRNIP, &options.ogrnip},
        {oid::SNILS, &options.snils},             {oid::UNSTRUCTURED_NAME, &options.unstructured_name},
    };
    for (const auto& [type, value] : attributes)
        if (value->has_value())
            add_name_entry(name, type, **value);
    for (const auto& [type, value] : options.extra_subject)
        add_name_entry(name, type, value);

    check(X509_set_issuer_name(certificate, X509_get_subject_name(authority.certificate())), "X509_set_issuer_name");
    check(X509_set_pubkey(certificate, key.get()), "X509_set_pubkey");

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, authority.certificate(), certificate, nullptr, nullptr, 0);
    if (options.key_usage)
        add_conf_extension(certificate, &context, NID_key_usage,
                           "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment");
    add_conf_extension(certificate, &context, NID_ext_key_usage, "clientAuth,emailProtection");
    add_conf_extension(certificate, &context, NID_subject_key_identifier, "hash");
    if (options.authority_key_id)
        add_conf_extension(certificate, &context, NID_authority_key_identifier, "keyid:always");
    if (!options.policies.empty()) {
        // The configuration form of this extension wants a configuration database; the
        // structure is simple enough to build directly.
        std::unique_ptr<CERTIFICATEPOLICIES, decltype(&CERTIFICATEPOLICIES_free)> policies(
            check(CERTIFICATEPOLICIES_new(), "CERTIFICATEPOLICIES_new"), &CERTIFICATEPOLICIES_free);
        for (const auto& policy : options.policies) {
            POLICYINFO* info = check(POLICYINFO_new(), "POLICYINFO_new");
            ASN1_OBJECT_free(info->policyid);
            info->policyid = object(policy).release();
            if (sk_POLICYINFO_push(policies.get(), info) <= 0) {
                POLICYINFO_free(info);
                fail("sk_POLICYINFO_push");
            }
        }
        check(X509_add1_ext_i2d(certificate, NID_certificate_policies, policies.get(), 0, X509V3_ADD_DEFAULT),
              "X509_add1_ext_i2d");
    }
    if (!options.crl_urls.empty()) {
        std::string list;
        for (const auto& url : options.crl_urls)
            list += (list.empty() ? "URI:" : ",URI:") + url;
        add_conf_extension(certificate, &context, NID_crl_distribution_points, list);
    }
    if (options.subject_sign_tool)
        add_der_extension(certificate, oid::SUBJECT_SIGN_TOOL, der_utf8_string(*options.subject_sign_tool));
    if (options.issuer_sign_tools) {
        std::vector<std::vector<std::uint8_t>> texts;
        for (const auto& text : *options.issuer_sign_tools)
            texts.push_back(der_utf8_string(text));
        add_der_extension(certificate, oid::ISSUER_SIGN_TOOLS, der_sequence(texts));
    }
    for (const auto& [type, der] : options.extra_extensions)
        add_der_extension(certificate, type, der);
    check(X509_sign(certificate, authority.key(), EVP_sha256()), "X509_sign");
    return UserCertificate(std::move(holder), std::move(key), options.with_private_key);
}

UserCertificate::UserCertificate(X509Ptr certificate, PkeyPtr key, bool with_private_key)
    : certificate_(std::move(certificate)), key_(std::move(key)), with_private_key_(with_private_key) {}

std::vector<std::uint8_t> UserCertificate::der() const {
    unsigned char* data = nullptr;
    const int size = i2d_X509(certificate_.get(), &data);
    if (size <= 0)
        fail("i2d_X509");
    std::vector<std::uint8_t> bytes(data, data + size);
    OPENSSL_free(data);
    return bytes;
}

std::string UserCertificate::certificate_pem() const {
    BioPtr bio(check(BIO_new(BIO_s_mem()), "BIO_new"));
    check(PEM_write_bio_X509(bio.get(), certificate_.get()), "PEM_write_bio_X509");
    return bio_text(bio.get());
}

std::string UserCertificate::key_pem() const {
    if (!with_private_key_)
        throw std::runtime_error("certgen: the certificate goes without its private key");
    BioPtr bio(check(BIO_new(BIO_s_mem()), "BIO_new"));
    check(PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr),
          "PEM_write_bio_PrivateKey");
    return bio_text(bio.get());
}

std::vector<std::uint8_t> UserCertificate::pkcs12(const Pkcs12Options& options) const {
    X509StackPtr chain(check(sk_X509_new_null(), "sk_X509_new_null"));
    for (X509* certificate : options.chain)
        check(sk_X509_push(chain.get(), certificate), "sk_X509_push");

    EVP_PKEY* key = with_private_key_ ? key_.get() : nullptr;
    const bool has_pin = !options.pin.empty();
    // Without a PIN nothing is encrypted and no MAC is added; with one, the key is always
    // shrouded (AES-256-CBC) and the certificate only when asked. 0 picks OpenSSL's default.
    const int key_nid = has_pin ? 0 : -1;
    const int certificate_nid = has_pin && options.encrypt_certificate ? 0 : -1;
    const int mac_iterations = has_pin ? PKCS12_DEFAULT_ITER : -1;
    std::unique_ptr<PKCS12, Pkcs12Deleter> p12(PKCS12_create(has_pin ? options.pin.c_str() : nullptr,
                                                             options.friendly_name.c_str(), key, certificate_.get(),
                                                             chain.get(), key_nid, certificate_nid, PKCS12_DEFAULT_ITER,
                                                             mac_iterations, 0));
    if (!p12)
        fail("PKCS12_create");
    BioPtr bio(check(BIO_new(BIO_s_mem()), "BIO_new"));
    check(i2d_PKCS12_bio(bio.get(), p12.get()), "i2d_PKCS12_bio");
    return bio_bytes(bio.get());
}

void UserCertificate::write_pkcs12(const std::filesystem::path& file, const Pkcs12Options& options) const {
    write_bytes(file, pkcs12(options));
}

void UserCertificate::write_pem(const std::filesystem::path& file, bool include_key) const {
    std::string text = certificate_pem();
    if (include_key)
        text += key_pem();
    write_bytes(file, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> envelope(X509* recipient, const std::vector<std::uint8_t>& data) {
    BioPtr input(check(BIO_new_mem_buf(data.empty() ? "" : static_cast<const void*>(data.data()), static_cast<int>(data.size())), "BIO_new_mem_buf"));
    const EVP_CIPHER* cipher = EVP_aes_256_cbc();
    if (has_gost_key(recipient)) {
        load_gost_engine();
        cipher = check(EVP_get_cipherbyname("gost89"), "EVP_get_cipherbyname(gost89)");
    }
    // The recipient is added with CMS_KEY_PARAM, as `openssl cms` does: the GOST engine sets
    // its key transport parameters only once the content cipher is in place (CMS_final).
    std::unique_ptr<CMS_ContentInfo, CmsDeleter> cms(CMS_encrypt(nullptr, input.get(), cipher, CMS_BINARY | CMS_PARTIAL));
    if (!cms)
        fail("CMS_encrypt");
    check(CMS_add1_recipient_cert(cms.get(), recipient, CMS_KEY_PARAM), "CMS_add1_recipient_cert");
    check(CMS_final(cms.get(), input.get(), nullptr, CMS_BINARY), "CMS_final");
    BioPtr output(check(BIO_new(BIO_s_mem()), "BIO_new"));
    check(i2d_CMS_bio(output.get(), cms.get()), "i2d_CMS_bio");
    return bio_bytes(output.get());
}

void write_bytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
    std::error_code error;
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path(), error);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error("certgen: cannot write " + file.string());
}

}  // namespace agent::certgen
