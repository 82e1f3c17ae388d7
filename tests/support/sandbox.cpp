#include "support/sandbox.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "details/logger.h"
#include "details/strings.h"

namespace agent::testing {

TempHome::TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varnel-home-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    if (const char* home = std::getenv("HOME")) {
        had_home_ = true;
        saved_home_ = home;
    }
    ::setenv("HOME", path_.c_str(), 1);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        ::unsetenv(name);
}

TempHome::~TempHome() {
    if (had_home_)
        ::setenv("HOME", saved_home_.c_str(), 1);
    else
        ::unsetenv("HOME");
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::wstring TempHome::data_directory() const {
    return details::utf8_to_wide((path_ / ".config" / "varnel-agent").string() + "/");
}

void SandboxTest::SetUp() {
    details::install_logger(nullptr);
    home_ = std::make_unique<TempHome>();
}

void SandboxTest::TearDown() {
    details::install_logger(nullptr);
    details::set_log_clock_for_testing(nullptr);
    home_.reset();
}

bool wait_for(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return predicate();
}

std::string read_text(const std::filesystem::path& file) {
    std::ifstream input(file, std::ios::binary);
    std::stringstream buffer;
    buffer << input.rdbuf();
    return buffer.str();
}

void write_text(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream output(file, std::ios::binary | std::ios::trunc);
    output << text;
}

}  // namespace agent::testing
