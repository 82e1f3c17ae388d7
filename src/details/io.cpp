#include "details/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"

namespace agent::details::io {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    // Closes now so that a failing close (a full disk on some file systems) is seen.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

// At most `limit` bytes of a regular file; `whole` makes a longer file an error.
std::vector<std::uint8_t> read_regular_file(const std::wstring& path, std::uint64_t limit, bool whole) {
    FileDescriptor fd(::open(wide_to_utf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        throw SystemException(errno, "open");
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        throw SystemException(errno, "fstat");
    if (S_ISDIR(info.st_mode))
        throw SystemException(EISDIR, "read");
    if (!S_ISREG(info.st_mode))
        throw SystemException(EINVAL, "fstat");
    std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    if (size > limit) {
        if (whole)
            throw SystemException(EFBIG, "read");
        size = limit;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw SystemException(errno, "read");
        if (n == 0)
            break;  // the file shrank while we read it
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

}  // namespace

std::vector<std::uint8_t> read_file_or_throw(const std::wstring& path, std::uint64_t max_size) {
    return read_regular_file(path, max_size, true);
}

std::vector<std::uint8_t> read_file_head(const std::wstring& path, std::size_t count) {
    return read_regular_file(path, count, false);
}

std::vector<std::uint8_t> read_file(const std::wstring& path) {
    AGENT_INFO(L"agent::details::io::read_file") << "Path: " << path;
    try {
        return read_file_or_throw(path);
    } catch (const SystemException& e) {
        AGENT_ERROR(L"agent::details::io::read_file") << e.description();
        return {};
    }
}

void write_file_or_throw(const std::wstring& path, const void* data, std::size_t length) {
    const std::string target = wide_to_utf8(path);
    const std::string temporary = target + ".tmp";
    FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        throw SystemException(errno, "open");
    // An older file of ours may carry a wider mode; the new one never does.
    ::fchmod(fd.get(), 0600);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd.get(), bytes + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            ::unlink(temporary.c_str());
            throw SystemException(error, "write");
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0 || fd.close() != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw SystemException(error, "fsync");
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw SystemException(error, "rename");
    }
}

bool write_file(const std::wstring& path, const void* data, std::size_t length) {
    AGENT_INFO(L"agent::details::io::write_file") << "Path: " << path;
    try {
        write_file_or_throw(path, data, length);
        return true;
    } catch (const SystemException& e) {
        AGENT_ERROR(L"agent::details::io::write_file") << e.description();
        return false;
    }
}

bool delete_file(const std::wstring& path) {
    AGENT_INFO(L"agent::details::io::delete_file") << "Path: " << path;
    if (::unlink(wide_to_utf8(path).c_str()) == 0)
        return true;
    AGENT_ERROR(L"agent::details::io::delete_file") << SystemException(errno, "unlink").description();
    return false;
}

bool exist_file(const std::wstring& path) {
    AGENT_INFO(L"agent::details::io::exist_file") << "Path: " << path;
    struct stat info {};
    return ::stat(wide_to_utf8(path).c_str(), &info) == 0;
}

}  // namespace agent::details::io
