#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace agent::testing {

// A private HOME for one test: HOME points at a fresh temporary folder and the XDG base
// directories are unset, so everything the agent writes lands inside it. Removed after.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // ~/.config/varnel-agent/ with its trailing slash, as the agent names it.
    std::wstring data_directory() const;

private:
    std::filesystem::path path_;
    std::string saved_home_;
    bool had_home_ = false;
};

// Base fixture: every test runs in its own temporary HOME, with no process logger.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    TempHome& home() { return *home_; }
    const TempHome& home() const { return *home_; }

private:
    std::unique_ptr<TempHome> home_;
};

// Polls the predicate until it holds or the timeout passes; returns its last value.
bool wait_for(const std::function<bool()>& predicate,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

std::string read_text(const std::filesystem::path& file);
void write_text(const std::filesystem::path& file, const std::string& text);

}  // namespace agent::testing
