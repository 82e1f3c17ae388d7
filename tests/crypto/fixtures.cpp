#include "fixtures.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "details/path.h"
#include "details/strings.h"

namespace agent::testing::crypto {

const certgen::Authority& authority() {
    static const certgen::Authority instance;
    return instance;
}

EVP_PKEY* shared_key() {
    static const certgen::PkeyPtr key = certgen::generate_rsa_key(2048);
    return key.get();
}

certgen::UserCertificate make(certgen::UserOptions options, bool fresh_key) {
    if (!fresh_key && options.reuse_key == nullptr)
        options.reuse_key = shared_key();
    return certgen::issue(authority(), options);
}

std::filesystem::path certificate_directory() {
    const std::filesystem::path directory =
        std::filesystem::path(details::wide_to_utf8(details::path::get_user_data_directory())) / "certificates";
    std::filesystem::create_directories(directory);
    return directory;
}

bool same(const agent::crypto::Certificate& listed, const certgen::UserCertificate& made) {
    return X509_cmp(listed.handle(), made.certificate()) == 0;
}

std::vector<std::uint8_t> bytes_of(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

void CapturingLogger::write(const wchar_t* text, std::size_t count) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(text, count);
}

std::vector<std::wstring> CapturingLogger::lines_with(const std::wstring& part) const {
    std::lock_guard lock(mutex_);
    std::vector<std::wstring> found;
    for (const auto& line : lines_)
        if (line.find(part) != std::wstring::npos)
            found.push_back(line);
    return found;
}

CapturingLogger& capture_log() {
    auto logger = std::make_unique<CapturingLogger>();
    logger->level = details::LEVEL_DEBUG;
    CapturingLogger& result = *logger;
    details::install_logger(std::move(logger));
    return result;
}

bool run(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    EXPECT_EQ(status, 0) << command;
    return status == 0;
}

}  // namespace agent::testing::crypto
