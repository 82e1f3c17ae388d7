#include "crypto/listing_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "crypto/directory_store.h"
#include "details/io.h"
#include "details/logger.h"
#include "details/strings.h"

namespace agent::crypto::details {

namespace {

constexpr wchar_t FUNCTION[] = L"agent::crypto::DirectoryStore::enumerate";

// The record, in lines:
//   varnel-agent listing 1
//   source <SHA-256 of the PKCS#12 file, lower-case hex>
//   key | public            (whether the certificate below came with the file's key)
//   -----BEGIN CERTIFICATE----- ... -----END CERTIFICATE-----
//   (the last two again for every further certificate)
constexpr std::string_view MAGIC = "varnel-agent listing 1";
constexpr std::string_view SOURCE = "source ";
constexpr std::string_view WITH_KEY = "key";
constexpr std::string_view WITHOUT_KEY = "public";
constexpr std::string_view PEM_END = "-----END CERTIFICATE-----";

std::string sha256_hex(const std::vector<std::uint8_t>& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
        ERR_clear_error();
        return {};
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

// The record's text; nothing when there is none (the ordinary case) or it is not a file.
std::optional<std::string> read_record(const std::wstring& path) {
    const int fd = ::open(agent::details::wide_to_utf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) > DirectoryStore::MAX_FILE_SIZE)
        return std::nullopt;
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        done += static_cast<std::size_t>(n);
    }
    return text;
}

// The next line of the text from `position` (without its LF), moving past it.
std::string_view next_line(std::string_view text, std::size_t& position) {
    const std::size_t end = std::min(text.find('\n', position), text.size());
    const std::string_view line = text.substr(position, end - position);
    position = end < text.size() ? end + 1 : end;
    return line;
}

std::optional<std::vector<ListedCertificate>> parse_record(std::string_view text, const std::string& source) {
    std::size_t position = 0;
    if (next_line(text, position) != MAGIC)
        return std::nullopt;
    const std::string_view origin = next_line(text, position);
    if (origin.substr(0, SOURCE.size()) != SOURCE || origin.substr(SOURCE.size()) != source)
        return std::nullopt;
    std::vector<ListedCertificate> listed;
    while (position < text.size()) {
        const std::string_view mark = next_line(text, position);
        if (mark.empty() && position >= text.size())
            break;
        if (mark != WITH_KEY && mark != WITHOUT_KEY)
            return std::nullopt;
        const std::size_t end = text.find(PEM_END, position);
        if (end == std::string_view::npos)
            return std::nullopt;
        const std::size_t stop = end + PEM_END.size();
        const std::string_view pem = text.substr(position, stop - position);
        const BioPtr input = memory_reader(reinterpret_cast<const std::uint8_t*>(pem.data()), pem.size());
        X509Ptr certificate(PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr));
        if (!certificate) {
            ERR_clear_error();
            return std::nullopt;
        }
        listed.push_back({std::move(certificate), mark == WITH_KEY});
        position = stop;
        next_line(text, position);
    }
    if (listed.empty())
        return std::nullopt;
    return listed;
}

std::string certificate_pem(X509* certificate) {
    BioPtr output(BIO_new(BIO_s_mem()));
    if (!output || PEM_write_bio_X509(output.get(), certificate) != 1) {
        ERR_clear_error();
        return {};
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(output.get(), &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

}  // namespace

std::wstring listing_cache_path(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'/');
    const std::size_t name = slash == std::wstring::npos ? 0 : slash + 1;
    return path.substr(0, name) + L"." + path.substr(name) + L".listing";
}

std::optional<std::vector<ListedCertificate>> read_listing_cache(const std::wstring& path,
                                                                 const std::vector<std::uint8_t>& bytes) {
    const std::wstring record_path = listing_cache_path(path);
    const std::optional<std::string> text = read_record(record_path);
    if (!text)
        return std::nullopt;
    const std::string source = sha256_hex(bytes);
    if (source.empty())
        return std::nullopt;
    auto listed = parse_record(*text, source);
    if (!listed) {
        AGENT_INFO(FUNCTION) << "The remembered listing " << record_path << " does not fit " << path;
    }
    return listed;
}

void write_listing_cache(const std::wstring& path, const std::vector<std::uint8_t>& bytes,
                         const std::vector<Certificate>& listed) noexcept {
    try {
        const std::string source = sha256_hex(bytes);
        if (source.empty() || listed.empty())
            return;
        std::string text = std::string(MAGIC) + "\n" + std::string(SOURCE) + source + "\n";
        for (const Certificate& certificate : listed) {
            const std::string pem = certificate_pem(certificate.handle());
            if (pem.empty())
                return;
            text += std::string(certificate.has_private_key() ? WITH_KEY : WITHOUT_KEY) + "\n" + pem;
        }
        agent::details::io::write_file(listing_cache_path(path), text.data(), text.size());
    } catch (const std::exception& e) {
        AGENT_ERROR(FUNCTION) << "The listing of " << path << " is not remembered: " << e.what();
    }
}

}  // namespace agent::crypto::details
