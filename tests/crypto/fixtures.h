#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "certgen/certgen.h"
#include "crypto/certificate.h"
#include "details/logger.h"
#include "support/sandbox.h"

namespace agent::testing::crypto {

// One authority and one RSA key for the whole test process: RSA key generation is slow.
const certgen::Authority& authority();
EVP_PKEY* shared_key();

// A certificate from the shared authority, for the shared key unless `fresh_key`.
certgen::UserCertificate make(certgen::UserOptions options, bool fresh_key = false);

// ~/.local/share/varnel-agent/certificates under the test's HOME, created.
std::filesystem::path certificate_directory();

bool same(const agent::crypto::Certificate& listed, const certgen::UserCertificate& made);

std::vector<std::uint8_t> bytes_of(const std::string& text);

// Collects every log line; installed as the process logger at DEBUG.
class CapturingLogger : public details::ILogger {
public:
    void write(const wchar_t* text, std::size_t count) override;
    std::vector<std::wstring> lines_with(const std::wstring& part) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> lines_;
};
CapturingLogger& capture_log();

// Request and extension configurations for `openssl req` / `openssl x509 -req`: a person's
// and an organisation's qualified subject, and the qualified extensions ([ user ]).
namespace cli {
extern const char* const REQUEST_HEADER;
extern const char* const PERSON;
extern const char* const ORGANISATION;
extern const char* const EXTENSIONS_CONFIG;
}  // namespace cli

// A qualified person certificate with a GOST R 34.10-2012 256-bit key from a GOST test
// authority, made by the openssl tool with the GOST engine in the folder `work`, exported
// to `out` as PKCS#12 with GOST protection under the PIN. False (and a test failure) when a
// step fails.
bool openssl_gost_pkcs12(const std::filesystem::path& work, const std::filesystem::path& out, const std::string& pin);

// Runs a shell command; fails the test (and returns false) when it does not exit with 0.
bool run(const std::string& command);

}  // namespace agent::testing::crypto
