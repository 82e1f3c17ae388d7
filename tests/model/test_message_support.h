#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "details/logger.h"

namespace agent::testing {

// Keeps every log line in memory so tests can look for what the agent reported.
class CapturedLog {
public:
    class Sink : public details::ILogger {
    public:
        explicit Sink(CapturedLog& owner) : owner_(owner) { level = details::LEVEL_DEBUG; }
        void write(const wchar_t* text, std::size_t count) override {
            const std::lock_guard lock(owner_.mutex_);
            owner_.lines_.emplace_back(text, count);
        }

    private:
        CapturedLog& owner_;
    };

    // Installs itself as the process logger for its lifetime.
    CapturedLog() { details::install_logger(std::make_unique<Sink>(*this)); }
    ~CapturedLog() { details::install_logger(nullptr); }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::vector<std::wstring> lines() const {
        const std::lock_guard lock(mutex_);
        return lines_;
    }

    // Lines of the level ("ERROR", "INFO"...) that contain the text.
    std::size_t count(const std::wstring& level, const std::wstring& text) const {
        const std::lock_guard lock(mutex_);
        return std::count_if(lines_.begin(), lines_.end(), [&](const std::wstring& line) {
            return line.find(L" | " + level + L" | ") != std::wstring::npos && line.find(text) != std::wstring::npos;
        });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> lines_;
};

}  // namespace agent::testing
