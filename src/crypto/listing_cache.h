#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crypto/certificate.h"

// What a listing learnt from a PKCS#12 file whose certificates are encrypted under its PIN
// (the way `openssl pkcs12 -export` writes them by default). Without it every listing would
// ask the PIN of every such file. Once the PIN has opened the file, its public certificates
// are written beside it, in ".<file name>.listing", and later listings read them from
// there; the key stays in the file, under its PIN, and the PIN is never written anywhere.
// The record names the SHA-256 of the file it was made from, so a file that changes is
// asked for again. Internal to the directory store.
namespace agent::crypto::details {

struct ListedCertificate {
    X509Ptr certificate;
    bool with_key = false;
};

// ".<file name>.listing" in the file's own directory.
std::wstring listing_cache_path(const std::wstring& path);

// The certificates remembered for the file whose bytes these are; nothing when there is no
// record, or it was made from other bytes, or it cannot be read.
std::optional<std::vector<ListedCertificate>> read_listing_cache(const std::wstring& path,
                                                                 const std::vector<std::uint8_t>& bytes);

// Remembers the listed certificates (public parts only) for the file. A directory that
// cannot be written only costs the next listing a PIN question: logged, never thrown.
void write_listing_cache(const std::wstring& path, const std::vector<std::uint8_t>& bytes,
                         const std::vector<Certificate>& listed) noexcept;

}  // namespace agent::crypto::details
