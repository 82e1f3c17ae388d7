#include "crypto/decrypt.h"

#include <openssl/cms.h>
#include <openssl/err.h>

#include "crypto/gost.h"
#include "crypto/pkcs11.h"
#include "details/exception.h"
#include "details/logger.h"

namespace agent::crypto {

namespace {

constexpr const wchar_t* FUNCTION = L"agent::crypto::decrypt";

// Key transport (RSA, GOST R 34.10 key transport) names the recipient once; key agreement
// (GOST VKO, ECDH) names each recipient in its list of encrypted keys.
bool addressed_to(CMS_ContentInfo* message, X509* certificate) {
    STACK_OF(CMS_RecipientInfo)* recipients = CMS_get0_RecipientInfos(message);
    for (int i = 0; i < sk_CMS_RecipientInfo_num(recipients); ++i) {
        CMS_RecipientInfo* recipient = sk_CMS_RecipientInfo_value(recipients, i);
        switch (CMS_RecipientInfo_type(recipient)) {
        case CMS_RECIPINFO_TRANS:
            if (CMS_RecipientInfo_ktri_cert_cmp(recipient, certificate) == 0)
                return true;
            break;
        case CMS_RECIPINFO_AGREE: {
            STACK_OF(CMS_RecipientEncryptedKey)* keys = CMS_RecipientInfo_kari_get0_reks(recipient);
            for (int k = 0; k < sk_CMS_RecipientEncryptedKey_num(keys); ++k)
                if (CMS_RecipientEncryptedKey_cert_cmp(sk_CMS_RecipientEncryptedKey_value(keys, k), certificate) == 0)
                    return true;
            break;
        }
        default:
            break;
        }
    }
    ERR_clear_error();
    return false;
}

std::vector<std::uint8_t> decrypt_message(const Certificate& certificate, const std::vector<std::uint8_t>& data,
                                          IPinPrompt* prompt) {
    const details::BioPtr input = details::memory_reader(data.data(), data.size());
    const details::CmsPtr message(d2i_CMS_bio(input.get(), nullptr));
    if (!message)
        details::throw_openssl_error("d2i_CMS_ContentInfo", ERR_PACK(ERR_LIB_CMS, 0, CMS_R_CONTENT_NOT_FOUND));
    if (OBJ_obj2nid(CMS_get0_type(message.get())) != NID_pkcs7_enveloped)
        throw CryptoException(ERR_PACK(ERR_LIB_CMS, 0, CMS_R_CONTENT_TYPE_NOT_ENVELOPED_DATA), "CMS_decrypt");

    // Checked before the key is loaded: a message for someone else must not cost the user
    // a PIN entry, and RSA decryption with a foreign key would not reliably fail.
    if (!certificate.has_private_key() || !addressed_to(message.get(), certificate.handle()))
        throw CryptoException(CryptoException::NO_MATCHING_KEY, "CMS_decrypt");

    // A GOST key without the engine that reads it would fail only after the PIN entry.
    require_gost_support(certificate.handle());
    const details::EvpPkeyPtr key = certificate.private_key()->load(prompt, certificate.person_name());
    if (X509_check_private_key(certificate.handle(), key.get()) != 1) {
        ERR_clear_error();
        throw CryptoException(CryptoException::NO_MATCHING_KEY, "X509_check_private_key");
    }

    const details::BioPtr output(BIO_new(BIO_s_mem()));
    if (!output)
        details::throw_openssl_error("BIO_new", ERR_PACK(ERR_LIB_BIO, 0, ERR_R_MALLOC_FAILURE));
    if (CMS_decrypt(message.get(), key.get(), certificate.handle(), nullptr, output.get(), CMS_BINARY) != 1) {
        // A token pulled out mid-way reports its reason first.
        const std::uint32_t code = details::take_openssl_error(ERR_PACK(ERR_LIB_CMS, 0, CMS_R_DECRYPT_ERROR));
        throw CryptoException(details::sign_in_code(code), "CMS_decrypt");
    }

    char* plain = nullptr;
    const long size = BIO_get_mem_data(output.get(), &plain);
    std::vector<std::uint8_t> result(plain, plain + size);
    OPENSSL_cleanse(plain, static_cast<std::size_t>(size));
    return result;
}

}  // namespace

std::vector<std::uint8_t> decrypt(const Certificate& certificate, const std::vector<std::uint8_t>& data,
                                  IPinPrompt* prompt) {
    try {
        std::vector<std::uint8_t> plain = decrypt_message(certificate, data, prompt);
        AGENT_INFO(FUNCTION) << "Decrypted " << data.size() << " bytes into " << plain.size();
        return plain;
    } catch (const CryptoException& e) {
        AGENT_ERROR(FUNCTION) << e.description();
        throw;
    }
}

}  // namespace agent::crypto
