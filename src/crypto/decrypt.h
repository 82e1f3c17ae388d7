#pragma once

#include <cstdint>
#include <vector>

#include "crypto/certificate.h"
#include "crypto/pin_prompt.h"

namespace agent::crypto {

// Decrypts a CMS / PKCS #7 EnvelopedData (DER) addressed to the certificate with the
// certificate's private key and returns the plain bytes. The PIN, when the key has one, is
// asked through the prompt (null: as if cancelled). Throws CryptoException:
// NO_MATCHING_KEY when the message is not for this certificate or the certificate has no
// key; WRONG_PIN; PIN_CANCELLED; otherwise OpenSSL's code with the call that failed
// ("d2i_CMS_ContentInfo" for data that is no enveloped message, "CMS_decrypt").
std::vector<std::uint8_t> decrypt(const Certificate& certificate, const std::vector<std::uint8_t>& data,
                                  IPinPrompt* prompt = nullptr);

}  // namespace agent::crypto
