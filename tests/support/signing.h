#pragma once

#include <filesystem>
#include <string>

#include "crypto/minisign.h"

namespace agent::testing {

// A minisign key pair made with Debian's minisign when the test runs (no secret key is
// ever kept in the tree), and signatures made with it the way a release is signed.
class SigningKeyPair {
public:
    // Makes a new pair in the folder (created).
    explicit SigningKeyPair(const std::filesystem::path& folder);
    // An existing pair (the build tree's own test key).
    SigningKeyPair(std::filesystem::path public_file, std::filesystem::path secret_file);

    crypto::SigningKey key() const;
    // The signature file's text of the bytes, with the trusted comment.
    std::string sign(const std::string& bytes, const std::string& trusted_comment) const;
    // The same in minisign's legacy form (not prehashed).
    std::string sign_legacy(const std::string& bytes, const std::string& trusted_comment) const;

private:
    std::string run_sign(const std::string& bytes, const std::string& trusted_comment, bool legacy) const;

    std::filesystem::path public_file_;
    std::filesystem::path secret_file_;
};

}  // namespace agent::testing
