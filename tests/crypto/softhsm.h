#pragma once

#include <filesystem>
#include <string>

#include "certgen/certgen.h"

namespace agent::testing::crypto {

// softhsm2 tokens of the test's own: SOFTHSM2_CONF names a configuration in the folder,
// whose token directory is inside it too. softhsm2 itself is the module p11-kit knows from
// its package, as on a user's machine.
class SoftHsm {
public:
    explicit SoftHsm(const std::filesystem::path& folder);
    ~SoftHsm();
    SoftHsm(const SoftHsm&) = delete;
    SoftHsm& operator=(const SoftHsm&) = delete;

    // softhsm2-util --init-token with the user PIN; fails the test when it does not work.
    bool init_token(const std::string& label, const std::string& pin);
    // The key through softhsm2-util --import (unless without_key), the certificate written
    // as a token object over PKCS#11, both with the hex id.
    bool import(const std::string& token, const std::string& pin, const certgen::UserCertificate& certificate,
                const std::string& id_hex, bool with_key = true);
    // The certificate and its private key written with "pkcs11-tool --write-object" under
    // one id, as many tokens are provisioned: no public-key object, the key private (out of
    // sight until the login).
    bool write_with_pkcs11_tool(const std::string& token, const std::string& pin,
                                const certgen::UserCertificate& certificate, const std::string& id_hex);
    // softhsm2-util --delete-token: as if the token had been pulled out.
    bool remove_token(const std::string& label);

private:
    std::filesystem::path folder_;
};

}  // namespace agent::testing::crypto
