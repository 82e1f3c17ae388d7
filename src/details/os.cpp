#include "details/os.h"

#include <sys/utsname.h>

#include <cerrno>
#include <fstream>
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

}  // namespace agent::details
