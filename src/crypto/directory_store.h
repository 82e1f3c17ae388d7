#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "crypto/certificate_store.h"

namespace agent::crypto {

// The user's certificate directory. It holds PKCS#12 files ("*.p12", "*.pfx", with or
// without a PIN) and PEM files ("*.pem", "*.crt", "*.cer"; DER is taken too) whose private
// key is either in the same file or in "<same name>.key" beside it. Other files are
// ignored. Files are read in byte order of their names, certificates in file order; the
// same certificate found twice is listed once, where it first appears, with a key when any
// of its copies has one. Unreadable or damaged files are skipped with an ERROR log line.
//
// A PKCS#12 file may encrypt its certificate under the PIN too; such a file is listed only
// when a prompt is given and answered with the right PIN.
class DirectoryStore : public ICertificateStore {
public:
    // A missing directory is an empty store.
    explicit DirectoryStore(std::wstring directory);

    std::wstring name() const override { return directory_; }

    // Throws SystemException "opendir" when the directory exists but cannot be read.
    std::vector<Certificate> enumerate(IPinPrompt* prompt) override;

    // A certificate file is small; anything larger is not one of ours.
    static constexpr std::size_t MAX_FILE_SIZE = 1 << 20;

private:
    std::wstring directory_;
};

namespace details {
// The certificates of one PKCS#12 file (bytes as read from `path`).
std::vector<Certificate> read_pkcs12(const std::vector<std::uint8_t>& bytes, const std::wstring& path,
                                     const std::wstring& store_name, IPinPrompt* prompt);
// The certificates of one PEM or DER file; `key_path` names the file of its private key,
// empty when the file carries it itself or there is none.
std::vector<Certificate> read_pem(const std::vector<std::uint8_t>& bytes, const std::wstring& path,
                                  const std::wstring& key_path, const std::wstring& store_name);
}  // namespace details

}  // namespace agent::crypto
