#pragma once

#include <string>

#include "crypto/certificate_store.h"
#include "crypto/directory_store.h"
#include "crypto/token_store.h"

namespace agent::crypto {

// The user's certificates: those on tokens first, then those of the certificate folder.
// A certificate found on a token and in a file (or on two tokens) is listed once, at its
// first place, so the token's copy is the one used; a later copy replaces it only when the
// first has no private key and the later one has.
class UserCertificateStore : public ICertificateStore {
public:
    explicit UserCertificateStore(std::wstring directory = default_certificate_directory(),
                                  TokenStore tokens = TokenStore());

    std::wstring name() const override;

    // A token listing never throws (a failing module is logged and skipped); the folder's
    // errors propagate as DirectoryStore's do.
    std::vector<Certificate> enumerate(IPinPrompt* prompt) override;

private:
    TokenStore tokens_;
    DirectoryStore directory_;
};

}  // namespace agent::crypto
