#include "crypto/directory_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <string_view>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include "crypto/gost.h"
#include "details/exception.h"
#include "details/logger.h"
#include "details/path.h"
#include "details/strings.h"

namespace agent::crypto {

namespace details {

namespace {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

std::vector<std::uint8_t> read_whole_file(const std::wstring& path) {
    // Non-blocking, so that a FIFO named like a certificate cannot stall the listing.
    const int fd = ::open(wide_to_utf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw SystemException(errno, "open");
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        throw SystemException(errno, "fstat");
    if (!S_ISREG(info.st_mode))
        throw SystemException(EINVAL, "fstat");
    if (static_cast<std::uint64_t>(info.st_size) > DirectoryStore::MAX_FILE_SIZE)
        throw SystemException(EFBIG, "read");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw SystemException(errno, "read");
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

std::string local_key_id(const PKCS12_SAFEBAG* bag) {
    const ASN1_TYPE* attribute = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
    if (attribute == nullptr || attribute->type != V_ASN1_OCTET_STRING)
        return {};
    const ASN1_OCTET_STRING* id = attribute->value.octet_string;
    return std::string(reinterpret_cast<const char*>(id->data), static_cast<std::size_t>(id->length));
}

// The key of a PKCS#12 file. The file's bytes are kept from the listing, so the key that
// is used is the one that came with the listed certificate even if the file changes.
class Pkcs12Key : public IPrivateKey {
public:
    Pkcs12Key(std::vector<std::uint8_t> bytes, std::wstring path) : bytes_(std::move(bytes)), path_(std::move(path)) {}

    std::wstring location() const override { return path_; }

    EvpPkeyPtr load(IPinPrompt* prompt, const std::wstring& holder) const override {
        const Pkcs12Ptr p12 = parse();
        // No PIN, or an empty one, is tried first: such files never ask.
        if (EvpPkeyPtr key = extract(p12.get(), nullptr))
            return key;
        ERR_clear_error();
        const Secret pin = ask_pin(prompt, holder, path_);
        const bool has_mac = PKCS12_mac_present(p12.get()) == 1;
        if (has_mac && PKCS12_verify_mac(p12.get(), pin.c_str(), pin.size()) != 1) {
            ERR_clear_error();
            throw CryptoException(CryptoException::WRONG_PIN, "PKCS12_verify_mac");
        }
        if (EvpPkeyPtr key = extract(p12.get(), pin.c_str()))
            return key;
        // Without a MAC a wrong PIN shows only as a key that does not decrypt.
        if (!has_mac) {
            ERR_clear_error();
            throw CryptoException(CryptoException::WRONG_PIN, "PKCS12_parse");
        }
        throw_openssl_error("PKCS12_parse", ERR_PACK(ERR_LIB_PKCS12, 0, PKCS12_R_PARSE_ERROR));
    }

private:
    Pkcs12Ptr parse() const {
        const BioPtr input = memory_reader(bytes_.data(), bytes_.size());
        Pkcs12Ptr p12(d2i_PKCS12_bio(input.get(), nullptr));
        if (!p12)
            throw_openssl_error("d2i_PKCS12_bio", ERR_PACK(ERR_LIB_PKCS12, 0, PKCS12_R_DECODE_ERROR));
        return p12;
    }

    static EvpPkeyPtr extract(PKCS12* p12, const char* pin) {
        EVP_PKEY* key = nullptr;
        X509* certificate = nullptr;
        STACK_OF(X509)* chain = nullptr;
        const int ok = PKCS12_parse(p12, pin, &key, &certificate, &chain);
        X509_free(certificate);
        sk_X509_pop_free(chain, X509_free);
        EvpPkeyPtr result(key);
        if (ok != 1)
            return nullptr;
        if (!result)
            throw CryptoException(CryptoException::NO_MATCHING_KEY, "PKCS12_parse");
        return result;
    }

    std::vector<std::uint8_t> bytes_;
    std::wstring path_;
};

// A PEM private key file (PKCS#8, traditional, or encrypted under a PIN). Read when used.
class PemKey : public IPrivateKey {
public:
    explicit PemKey(std::wstring path) : path_(std::move(path)) {}

    std::wstring location() const override { return path_; }

    EvpPkeyPtr load(IPinPrompt* prompt, const std::wstring& holder) const override {
        std::vector<std::uint8_t> bytes = read_whole_file(path_);
        const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        const bool encrypted = text.find("ENCRYPTED") != std::string_view::npos;
        const BioPtr input = memory_reader(bytes.data(), bytes.size());
        EvpPkeyPtr key;
        if (!encrypted) {
            key.reset(PEM_read_bio_PrivateKey(input.get(), nullptr, refuse_password, nullptr));
            OPENSSL_cleanse(bytes.data(), bytes.size());
            if (!key)
                throw_openssl_error("PEM_read_bio_PrivateKey", ERR_PACK(ERR_LIB_PEM, 0, PEM_R_NO_START_LINE));
            return key;
        }
        const Secret pin = ask_pin(prompt, holder, path_);
        key.reset(PEM_read_bio_PrivateKey(input.get(), nullptr, give_password, const_cast<Secret*>(&pin)));
        if (!key) {
            // A wrong PIN shows as a key that does not decrypt.
            ERR_clear_error();
            throw CryptoException(CryptoException::WRONG_PIN, "PEM_read_bio_PrivateKey");
        }
        return key;
    }

private:
    static int refuse_password(char*, int, int, void*) { return -1; }

    static int give_password(char* buffer, int size, int, void* data) {
        const auto* pin = static_cast<const Secret*>(data);
        if (pin->size() > size)
            return -1;
        std::copy(pin->c_str(), pin->c_str() + pin->size(), buffer);
        return pin->size();
    }

    std::wstring path_;
};

struct Pkcs12Contents {
    std::vector<std::pair<X509Ptr, std::string>> certificates;  // with their local key ids
    std::set<std::string> key_ids;
    int keys = 0;
    bool locked = false;  // a certificate safe that needs the PIN
};

void collect_bags(const STACK_OF(PKCS12_SAFEBAG) * bags, Pkcs12Contents& contents) {
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
        case NID_certBag:
            if (PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate) {
                X509Ptr certificate(PKCS12_SAFEBAG_get1_cert(bag));
                if (certificate)
                    contents.certificates.emplace_back(std::move(certificate), local_key_id(bag));
                ERR_clear_error();
            }
            break;
        case NID_keyBag:
        case NID_pkcs8ShroudedKeyBag:
            ++contents.keys;
            contents.key_ids.insert(local_key_id(bag));
            break;
        default:
            break;
        }
    }
}

STACK_OF(PKCS12_SAFEBAG) * unpack_encrypted(PKCS7* safe, const char* pin, int length) {
    STACK_OF(PKCS12_SAFEBAG)* bags = PKCS12_unpack_p7encdata(safe, pin, length);
    if (bags == nullptr)
        ERR_clear_error();
    return bags;
}

// Reads the safes; an encrypted one is opened with no PIN, the empty PIN, or `pin`.
Pkcs12Contents read_safes(PKCS12* p12, const Secret* pin) {
    STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12);
    if (safes == nullptr)
        throw_openssl_error("PKCS12_unpack_authsafes", ERR_PACK(ERR_LIB_PKCS12, 0, PKCS12_R_DECODE_ERROR));
    Pkcs12Contents contents;
    for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes, i);
        STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
        const int type = OBJ_obj2nid(safe->type);
        if (type == NID_pkcs7_data) {
            bags = PKCS12_unpack_p7data(safe);
            ERR_clear_error();
        } else if (type == NID_pkcs7_encrypted) {
            bags = unpack_encrypted(safe, nullptr, 0);
            if (bags == nullptr)
                bags = unpack_encrypted(safe, "", 0);
            if (bags == nullptr && pin != nullptr)
                bags = unpack_encrypted(safe, pin->c_str(), pin->size());
            if (bags == nullptr)
                contents.locked = true;
        }
        if (bags != nullptr) {
            collect_bags(bags, contents);
            sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
        }
    }
    sk_PKCS7_pop_free(safes, PKCS7_free);
    return contents;
}

bool is_authority(X509* certificate) {
    return X509_check_ca(certificate) != 0;
}

std::wstring file_name(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'/');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<Certificate> read_pkcs12(const std::vector<std::uint8_t>& bytes, const std::wstring& path,
                                     const std::wstring& store_name, IPinPrompt* prompt) {
    const BioPtr input = memory_reader(bytes.data(), bytes.size());
    const Pkcs12Ptr p12(d2i_PKCS12_bio(input.get(), nullptr));
    if (!p12)
        throw_openssl_error("d2i_PKCS12_bio", ERR_PACK(ERR_LIB_PKCS12, 0, PKCS12_R_DECODE_ERROR));

    Pkcs12Contents contents = read_safes(p12.get(), nullptr);
    // A safe locked by the PIN may hide the user's certificate: ask when we can, and
    // otherwise go on with what is visible, if anything.
    if (contents.locked && (prompt != nullptr || contents.certificates.empty())) {
        if (prompt == nullptr)
            throw CryptoException(CryptoException::PIN_CANCELLED, "PKCS12_unpack_p7encdata");
        const Secret pin = ask_pin(prompt, file_name(path), path);
        if (PKCS12_mac_present(p12.get()) == 1 && PKCS12_verify_mac(p12.get(), pin.c_str(), pin.size()) != 1) {
            ERR_clear_error();
            throw CryptoException(CryptoException::WRONG_PIN, "PKCS12_verify_mac");
        }
        contents = read_safes(p12.get(), &pin);
        if (contents.locked)
            throw CryptoException(CryptoException::WRONG_PIN, "PKCS12_unpack_p7encdata");
    }

    // The user's certificate is the one whose local key id matches a key; without ids, a
    // lone key belongs to the first certificate that is not an authority.
    std::vector<bool> with_key(contents.certificates.size(), false);
    bool paired = false;
    for (std::size_t i = 0; i < contents.certificates.size(); ++i) {
        const std::string& id = contents.certificates[i].second;
        with_key[i] = !id.empty() && contents.key_ids.count(id) != 0;
        paired = paired || with_key[i];
    }
    if (!paired && contents.keys > 0) {
        for (std::size_t i = 0; i < contents.certificates.size() && !paired; ++i)
            if (!is_authority(contents.certificates[i].first.get()))
                with_key[i] = paired = true;
    }

    std::shared_ptr<const IPrivateKey> key;
    if (paired)
        key = std::make_shared<Pkcs12Key>(bytes, path);
    std::vector<Certificate> result;
    for (std::size_t i = 0; i < contents.certificates.size(); ++i) {
        X509Ptr& certificate = contents.certificates[i].first;
        // The chain that travels with the user's certificate is not the user's.
        if (!with_key[i] && is_authority(certificate.get()))
            continue;
        result.emplace_back(std::move(certificate), with_key[i] ? key : nullptr, store_name);
    }
    return result;
}

std::vector<Certificate> read_pem(const std::vector<std::uint8_t>& bytes, const std::wstring& path,
                                  const std::wstring& key_path, const std::wstring& store_name) {
    std::vector<X509Ptr> certificates;
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.find("-----BEGIN ") != std::string_view::npos) {
        const BioPtr input = memory_reader(bytes.data(), bytes.size());
        while (X509* certificate = PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr))
            certificates.emplace_back(certificate);
    } else {
        const unsigned char* p = bytes.data();
        if (X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(bytes.size())))
            certificates.emplace_back(certificate);
    }
    if (certificates.empty())
        throw_openssl_error("PEM_read_bio_X509", ERR_PACK(ERR_LIB_PEM, 0, PEM_R_NO_START_LINE));
    // The end of the PEM text leaves a "no start line" error behind.
    ERR_clear_error();

    std::shared_ptr<const IPrivateKey> key;
    const std::size_t key_marker = text.find("PRIVATE KEY-----");
    if (key_marker != std::string_view::npos)
        key = std::make_shared<PemKey>(path);
    else if (!key_path.empty())
        key = std::make_shared<PemKey>(key_path);
    else
        AGENT_INFO(L"agent::crypto::DirectoryStore::enumerate") << "No private key for " << path;

    std::vector<Certificate> result;
    bool key_given = false;
    for (X509Ptr& certificate : certificates) {
        const bool authority = is_authority(certificate.get());
        const bool takes_key = key && !key_given && !authority;
        if (!takes_key && authority)
            continue;
        key_given = key_given || takes_key;
        result.emplace_back(std::move(certificate), takes_key ? key : nullptr, store_name);
    }
    return result;
}

}  // namespace details

namespace {

enum class FileKind { Other, Pkcs12, Pem, Key };

std::string lower_extension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return {};
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return extension;
}

FileKind kind_of(const std::string& name) {
    const std::string extension = lower_extension(name);
    if (extension == "p12" || extension == "pfx")
        return FileKind::Pkcs12;
    if (extension == "pem" || extension == "crt" || extension == "cer")
        return FileKind::Pem;
    if (extension == "key")
        return FileKind::Key;
    return FileKind::Other;
}

std::string stem(const std::string& name) {
    return name.substr(0, name.rfind('.'));
}

}  // namespace

DirectoryStore::DirectoryStore(std::wstring directory) : directory_(std::move(directory)) {}

std::vector<Certificate> DirectoryStore::enumerate(IPinPrompt* prompt) {
    constexpr const wchar_t* function = L"agent::crypto::DirectoryStore::enumerate";
    if (directory_.empty())
        return {};
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(agent::details::wide_to_utf8(directory_).c_str()),
                                                  &::closedir);
    if (!directory) {
        if (errno == ENOENT || errno == ENOTDIR) {
            AGENT_INFO(function) << "No certificate directory " << directory_;
            return {};
        }
        throw SystemException(errno, "opendir");
    }

    // Protected PKCS#12 safes and keys may use GOST ciphers and digests.
    gost_available();

    std::vector<std::string> files;
    std::set<std::string> keys;
    while (const dirent* entry = ::readdir(directory.get())) {
        const std::string name = entry->d_name;
        switch (kind_of(name)) {
        case FileKind::Pkcs12:
        case FileKind::Pem:
            files.push_back(name);
            break;
        case FileKind::Key:
            keys.insert(stem(name));
            break;
        case FileKind::Other:
            break;
        }
    }
    std::sort(files.begin(), files.end());

    std::vector<Certificate> result;
    std::map<std::string, std::size_t> seen;
    for (const std::string& name : files) {
        const std::wstring path = agent::details::path::join(directory_, agent::details::utf8_to_wide(name));
        std::vector<Certificate> found;
        try {
            const std::vector<std::uint8_t> bytes = details::read_whole_file(path);
            if (kind_of(name) == FileKind::Pkcs12) {
                found = details::read_pkcs12(bytes, path, directory_, prompt);
            } else {
                const bool has_key_file = keys.count(stem(name)) != 0;
                const std::wstring key_path = has_key_file ? agent::details::path::join(
                                                                 directory_, agent::details::utf8_to_wide(stem(name) + ".key"))
                                                           : std::wstring();
                found = details::read_pem(bytes, path, key_path, directory_);
            }
        } catch (const Exception& e) {
            AGENT_ERROR(function) << "Skipped " << path << ": " << e.description();
            continue;
        } catch (const std::exception& e) {
            AGENT_ERROR(function) << "Skipped " << path << ": " << e.what();
            continue;
        }
        for (Certificate& certificate : found) {
            const std::string digest = details::fingerprint(certificate.handle());
            const auto [position, added] = seen.emplace(digest, result.size());
            if (added) {
                result.push_back(std::move(certificate));
                continue;
            }
            AGENT_INFO(function) << "Duplicate certificate in " << path;
            if (!result[position->second].has_private_key() && certificate.has_private_key())
                result[position->second] = std::move(certificate);
        }
    }
    return result;
}

}  // namespace agent::crypto
