#include "details/path.h"

#include <filesystem>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"

namespace agent::details::path {

namespace {

bool is_separator(wchar_t c) {
    return c == L'/';
}

// An XDG base directory: the variable when it holds an absolute path, else HOME + fallback.
std::wstring xdg_directory(const char* variable, const wchar_t* fallback) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/')
        return utf8_to_wide(std::string_view(value));
    const std::wstring home = get_home_directory();
    if (home.empty())
        return {};
    return join(home, fallback);
}

}  // namespace

std::wstring get_executable_file_name() {
    std::vector<char> buffer(4096);
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) {
        AGENT_ERROR(L"agent::details::path::get_executable_file_name")
            << SystemException(length <= 0 ? errno : ENAMETOOLONG, "readlink").description();
        return {};
    }
    return utf8_to_wide(buffer.data(), static_cast<std::size_t>(length));
}

std::wstring get_launch_file_name(const std::wstring& executable) {
    namespace fs = std::filesystem;
    const fs::path file(wide_to_utf8(executable));
    const fs::path bin = file.parent_path();
    const fs::path version = bin.parent_path();
    if (bin.filename() != "bin" || version.filename().empty())
        return executable;
    const fs::path current = version.parent_path() / "current";
    std::error_code failed;
    if (fs::read_symlink(current, failed) != version.filename() || failed)
        return executable;
    return utf8_to_wide((current / "bin" / file.filename()).string());
}

std::wstring join(const std::wstring& first, const std::wstring& second) {
    if (second.empty())
        return first;
    if (first.empty())
        return second;
    const bool first_ends = is_separator(first.back());
    const bool second_begins = is_separator(second.front());
    if (first_ends && second_begins)
        return first + second.substr(1);
    if (first_ends || second_begins)
        return first + second;
    return first + L"/" + second;
}

std::wstring get_directory(const std::wstring& path) {
    const auto position = path.find_last_of(L'/');
    if (position == std::wstring::npos)
        return {};
    return path.substr(0, position + 1);
}

std::wstring get_home_directory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0')
        return utf8_to_wide(std::string_view(home));
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return utf8_to_wide(std::string_view(entry->pw_dir));
    return {};
}

std::wstring get_config_home() {
    return xdg_directory("XDG_CONFIG_HOME", L".config");
}

std::wstring get_data_directory() {
    const std::wstring base = get_config_home();
    if (base.empty())
        return {};
    return join(base, L"varnel-agent/");
}

std::wstring get_state_directory() {
    const std::wstring base = xdg_directory("XDG_STATE_HOME", L".local/state");
    return base.empty() ? std::wstring() : join(base, L"varnel-agent");
}

std::wstring get_user_data_directory() {
    const std::wstring base = xdg_directory("XDG_DATA_HOME", L".local/share");
    return base.empty() ? std::wstring() : join(base, L"varnel-agent");
}

std::wstring get_user_cache_directory() {
    const std::wstring base = xdg_directory("XDG_CACHE_HOME", L".cache");
    return base.empty() ? std::wstring() : join(base, L"varnel-agent");
}

bool make_directories(const std::wstring& directory, unsigned mode) {
    std::string path = wide_to_utf8(directory);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.empty())
        return false;
    // Parents get the ordinary mode; only the directory itself is private.
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
            AGENT_ERROR(L"agent::details::path::make_directories") << SystemException(errno, "mkdir").description()
                                                                   << " Path: " << parent;
            return false;
        }
    }
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        AGENT_ERROR(L"agent::details::path::make_directories") << SystemException(errno, "mkdir").description()
                                                               << " Path: " << path;
        return false;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        AGENT_ERROR(L"agent::details::path::make_directories")
            << SystemException(ENOTDIR, "mkdir").description() << " Path: " << path;
        return false;
    }
    return true;
}

}  // namespace agent::details::path
