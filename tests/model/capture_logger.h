#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "details/logger.h"

namespace agent::testing {

// A process logger that keeps its lines in memory, so tests can look for what was logged.
class CaptureLogger : public details::ILogger {
public:
    void write(const wchar_t* text, std::size_t count) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(text, count);
    }

    std::vector<std::wstring> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    // Lines that hold the text.
    std::vector<std::wstring> matching(const std::wstring& text) const {
        std::vector<std::wstring> found;
        for (const auto& line : lines())
            if (line.find(text) != std::wstring::npos)
                found.push_back(line);
        return found;
    }

    bool contains(const std::wstring& text) const { return !matching(text).empty(); }

    // Every line, one after the other.
    std::wstring text() const {
        std::wstring all;
        for (const auto& line : lines())
            all += line;
        return all;
    }

    // Installs a fresh one at the level as the process logger and returns it.
    static CaptureLogger& install(std::uint8_t level) {
        auto logger = std::make_unique<CaptureLogger>();
        logger->level = level;
        CaptureLogger& result = *logger;
        details::install_logger(std::move(logger));
        return result;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> lines_;
};

}  // namespace agent::testing
