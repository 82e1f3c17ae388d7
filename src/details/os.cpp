#include "details/os.h"

#include <sys/mman.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "details/exception.h"
#include "details/strings.h"

namespace agent::details {

namespace {

// The value of PRETTY_NAME, with the shell-style quotes of os-release removed.
std::string pretty_name(const char* file) {
    std::ifstream input(file);
    std::string line;
    while (std::getline(input, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0)
            continue;
        std::string value = line.substr(12);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        std::string unescaped;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size())
                ++i;
            unescaped += value[i];
        }
        return unescaped;
    }
    return {};
}

}  // namespace

std::wstring get_os_description(const char* os_release) {
    std::string name;
    if (os_release != nullptr) {
        name = pretty_name(os_release);
    } else {
        name = pretty_name("/etc/os-release");
        if (name.empty())
            name = pretty_name("/usr/lib/os-release");
    }
    if (name.empty())
        name = "Linux";
    utsname system{};
    if (::uname(&system) != 0)
        throw SystemException(errno, "uname");
    return utf8_to_wide(name + " " + system.release);
}

std::size_t page_out_file_mappings() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    std::size_t advised = 0;
    while (std::getline(maps, line)) {
        // start-end perms offset device inode path
        std::istringstream fields(line);
        std::string range, perms, offset, device, path;
        unsigned long long inode = 0;
        if (!(fields >> range >> perms >> offset >> device >> inode))
            continue;
        fields >> std::ws;
        std::getline(fields, path);
        if (inode == 0 || path.empty() || path.front() != '/' || perms.size() < 4 || perms[1] != '-' ||
            perms[3] != 'p')
            continue;
        const auto dash = range.find('-');
        if (dash == std::string::npos)
            continue;
        const auto start = static_cast<std::uintptr_t>(std::stoull(range.substr(0, dash), nullptr, 16));
        const auto end = static_cast<std::uintptr_t>(std::stoull(range.substr(dash + 1), nullptr, 16));
        if (end <= start)
            continue;
        // A kernel without page-out refuses every one (EINVAL); nothing is lost then.
        if (::madvise(reinterpret_cast<void*>(start), end - start, MADV_PAGEOUT) == 0)
            ++advised;
    }
    return advised;
}

}  // namespace agent::details
