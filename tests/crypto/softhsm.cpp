#include "softhsm.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <p11-kit/p11-kit.h>

#include "fixtures.h"
#include "support/sandbox.h"

namespace agent::testing::crypto {

namespace {

std::vector<unsigned char> from_hex(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

struct Modules {
    CK_FUNCTION_LIST** list = p11_kit_modules_load_and_initialize(0);
    ~Modules() {
        if (list != nullptr)
            p11_kit_modules_finalize_and_release(list);
    }
};

// Writes the certificate object with the PKCS#11 calls a vendor's import tool makes.
bool write_certificate(const std::string& token, const std::string& pin, X509* certificate,
                       const std::vector<unsigned char>& id) {
    Modules modules;
    CK_FUNCTION_LIST* softhsm = modules.list ? p11_kit_module_for_name(modules.list, "softhsm2") : nullptr;
    if (softhsm == nullptr) {
        ADD_FAILURE() << "p11-kit does not know softhsm2";
        return false;
    }
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    if (softhsm->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK)
        return false;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info{};
        softhsm->C_GetTokenInfo(slots[i], &info);
        if (std::string(reinterpret_cast<char*>(info.label), p11_kit_space_strlen(info.label, sizeof info.label)) !=
            token)
            continue;
        CK_SESSION_HANDLE session = 0;
        if (softhsm->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) != CKR_OK)
            return false;
        softhsm->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.c_str())),
                         static_cast<CK_ULONG>(pin.size()));
        unsigned char* der = nullptr;
        const int der_size = i2d_X509(certificate, &der);
        unsigned char* subject = nullptr;
        const int subject_size = i2d_X509_NAME(X509_get_subject_name(certificate), &subject);
        CK_OBJECT_CLASS type = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE x509 = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        char label[] = "certificate";
        CK_ATTRIBUTE attributes[] = {
            {CKA_CLASS, &type, sizeof type},
            {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_LABEL, label, sizeof label - 1},
            {CKA_ID, const_cast<unsigned char*>(id.data()), static_cast<CK_ULONG>(id.size())},
            {CKA_SUBJECT, subject, static_cast<CK_ULONG>(subject_size)},
            {CKA_VALUE, der, static_cast<CK_ULONG>(der_size)},
        };
        CK_OBJECT_HANDLE object = 0;
        const CK_RV rv = softhsm->C_CreateObject(session, attributes, 7, &object);
        OPENSSL_free(der);
        OPENSSL_free(subject);
        softhsm->C_Logout(session);
        softhsm->C_CloseSession(session);
        EXPECT_EQ(rv, CKR_OK) << p11_kit_strerror(rv);
        return rv == CKR_OK;
    }
    ADD_FAILURE() << "no token " << token;
    return false;
}

}  // namespace

SoftHsm::SoftHsm(const std::filesystem::path& folder) : folder_(folder) {
    std::filesystem::create_directories(folder_ / "tokens");
    write_text(folder_ / "softhsm2.conf", "directories.tokendir = " + (folder_ / "tokens").string() +
                                              "\nobjectstore.backend = file\nlog.level = ERROR\n");
    ::setenv("SOFTHSM2_CONF", (folder_ / "softhsm2.conf").c_str(), 1);
}

SoftHsm::~SoftHsm() {
    ::unsetenv("SOFTHSM2_CONF");
}

bool SoftHsm::init_token(const std::string& label, const std::string& pin) {
    return run("softhsm2-util --init-token --free --label '" + label + "' --so-pin 87654321 --pin '" + pin + "'");
}

bool SoftHsm::import(const std::string& token, const std::string& pin, const certgen::UserCertificate& certificate,
                     const std::string& id_hex, bool with_key) {
    if (with_key) {
        const std::filesystem::path key = folder_ / ("key-" + id_hex + ".pem");
        write_text(key, certificate.key_pem());
        if (!run("softhsm2-util --import '" + key.string() + "' --token '" + token + "' --label key --id " + id_hex +
                 " --pin '" + pin + "'"))
            return false;
        std::filesystem::remove(key);
    }
    return write_certificate(token, pin, certificate.certificate(), from_hex(id_hex));
}

bool SoftHsm::write_with_pkcs11_tool(const std::string& token, const std::string& pin,
                                     const certgen::UserCertificate& certificate, const std::string& id_hex) {
    const std::filesystem::path key_pem = folder_ / ("write-" + id_hex + ".pem");
    const std::filesystem::path key_der = folder_ / ("write-" + id_hex + ".key.der");
    const std::filesystem::path cert_pem = folder_ / ("write-" + id_hex + ".crt.pem");
    const std::filesystem::path cert_der = folder_ / ("write-" + id_hex + ".crt.der");
    write_text(key_pem, certificate.key_pem());
    write_text(cert_pem, certificate.certificate_pem());
    const std::string tool = "pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label '" + token +
                             "' --login --pin '" + pin + "' --id " + id_hex;
    const bool written =
        run("openssl pkey -in '" + key_pem.string() + "' -outform DER -out '" + key_der.string() + "'") &&
        run("openssl x509 -in '" + cert_pem.string() + "' -outform DER -out '" + cert_der.string() + "'") &&
        run(tool + " --write-object '" + key_der.string() + "' --type privkey --label key") &&
        run(tool + " --write-object '" + cert_der.string() + "' --type cert --label certificate");
    for (const auto& file : {key_pem, key_der, cert_pem, cert_der})
        std::filesystem::remove(file);
    return written;
}

bool SoftHsm::remove_token(const std::string& label) {
    return run("softhsm2-util --delete-token --token '" + label + "'");
}

}  // namespace agent::testing::crypto
