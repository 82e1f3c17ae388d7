#include "crypto/user_store.h"

#include <map>

#include "crypto/openssl.h"
#include "details/logger.h"

namespace agent::crypto {

UserCertificateStore::UserCertificateStore(std::wstring directory, TokenStore tokens)
    : tokens_(std::move(tokens)), directory_(std::move(directory)) {}

std::wstring UserCertificateStore::name() const {
    return tokens_.name() + L", " + directory_.name();
}

std::vector<Certificate> UserCertificateStore::enumerate(IPinPrompt* prompt) {
    std::vector<Certificate> result;
    std::map<std::string, std::size_t> seen;
    auto add = [&](std::vector<Certificate>&& certificates) {
        for (Certificate& certificate : certificates) {
            const auto [position, added] = seen.emplace(details::fingerprint(certificate.handle()), result.size());
            if (added) {
                result.push_back(std::move(certificate));
                continue;
            }
            Certificate& first = result[position->second];
            AGENT_INFO(L"agent::crypto::UserCertificateStore::enumerate")
                << "\"" << certificate.display_name() << "\" of " << certificate.store_name() << " is also in "
                << first.store_name();
            if (!first.has_private_key() && certificate.has_private_key())
                first = std::move(certificate);
        }
    };
    add(tokens_.enumerate(prompt));
    add(directory_.enumerate(prompt));
    return result;
}

}  // namespace agent::crypto
