#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "crypto/certificate_store.h"

namespace agent::crypto {

// The certificates on tokens (smart cards, USB keys, software tokens) of the PKCS#11
// modules that p11-kit is configured with, and of modules named by path for vendors whose
// module does not register with p11-kit. Modules are loaded for each listing and each use of
// a key, so a token inserted or pulled out is seen the next time.
//
// Order: modules by name, tokens by slot, certificates by label, id and encoding. The same
// certificate on two tokens is listed once, where it first appears, with a key when any of
// its copies has one. Authority certificates without a key are not listed.
//
// A certificate has a private key when a private or a public key with its CKA_ID is visible
// (private keys are mostly hidden until the login, the public key of the pair is not). The key never leaves the token: the
// challenge's content key is decrypted on it, after the PIN is given through the prompt
// (tokens with a PIN pad ask on the reader). RSA keys only for now: a GOST key on a vendor's
// token is listed, and using it fails with a clear error.
class TokenStore : public ICertificateStore {
public:
    // A module that has not listed its tokens by the timeout is left out of the listing.
    static constexpr std::chrono::milliseconds DEFAULT_MODULE_TIMEOUT{10000};

    explicit TokenStore(std::vector<std::string> module_paths = module_paths_from_environment(),
                        std::chrono::milliseconds module_timeout = DEFAULT_MODULE_TIMEOUT);

    std::wstring name() const override { return L"PKCS#11 tokens"; }

    // Never throws for a module or token that fails: it is skipped with an ERROR log line.
    std::vector<Certificate> enumerate(IPinPrompt* prompt) override;

    // VARNEL_PKCS11_MODULES: module paths separated by ":".
    static std::vector<std::string> module_paths_from_environment();

private:
    std::vector<std::string> module_paths_;
    std::chrono::milliseconds module_timeout_;
};

}  // namespace agent::crypto
