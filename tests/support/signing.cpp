#include "support/signing.h"

#include <cstdlib>
#include <stdexcept>

#include "support/sandbox.h"

namespace agent::testing {

namespace {

std::string shell_word(const std::string& text) {
    return "'" + text + "'";
}
std::string shell_word(const std::filesystem::path& path) {
    return shell_word(path.string());
}

void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("failed: " + command);
}

}  // namespace

SigningKeyPair::SigningKeyPair(const std::filesystem::path& folder)
    : public_file_(folder / "key.pub"), secret_file_(folder / "key.sec") {
    std::filesystem::create_directories(folder);
    run("minisign -G -W -f -p " + shell_word(public_file_) + " -s " + shell_word(secret_file_));
}

SigningKeyPair::SigningKeyPair(std::filesystem::path public_file, std::filesystem::path secret_file)
    : public_file_(std::move(public_file)), secret_file_(std::move(secret_file)) {}

crypto::SigningKey SigningKeyPair::key() const {
    return crypto::parse_public_key(read_text(public_file_));
}

std::string SigningKeyPair::sign(const std::string& bytes, const std::string& trusted_comment) const {
    return run_sign(bytes, trusted_comment, false);
}

std::string SigningKeyPair::sign_legacy(const std::string& bytes, const std::string& trusted_comment) const {
    return run_sign(bytes, trusted_comment, true);
}

std::string SigningKeyPair::run_sign(const std::string& bytes, const std::string& trusted_comment,
                                     bool legacy) const {
    const std::filesystem::path file = secret_file_.parent_path() / "signed.bin";
    const std::filesystem::path signature = secret_file_.parent_path() / "signed.bin.minisig";
    write_text(file, bytes);
    run(std::string("minisign -S ") + (legacy ? "-l " : "") + "-s " + shell_word(secret_file_) + " -m " + shell_word(file) +
        " -x " + shell_word(signature) + " -t " + shell_word(trusted_comment));
    std::string text = read_text(signature);
    std::filesystem::remove(file);
    std::filesystem::remove(signature);
    return text;
}

}  // namespace agent::testing
