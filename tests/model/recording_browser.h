#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "model/uri_service.h"

namespace agent::testing {

// A browser that keeps what it is given: the cookies written and the URLs opened. It
// takes links and cookies unless told to refuse them.
class RecordingBrowser : public IBrowser {
public:
    struct Cookie {
        std::wstring url;
        std::wstring name;
        std::wstring data;
    };

    bool set_cookie(const std::wstring& url, const std::wstring& name, const std::wstring& data) override {
        std::lock_guard lock(mutex_);
        if (refuse_cookies)
            return false;
        cookies_.push_back({url, name, data});
        return true;
    }

    bool open(const std::wstring& url) override {
        std::lock_guard lock(mutex_);
        opened_.push_back(url);
        return !refuse_links;
    }

    std::vector<Cookie> cookies() const {
        std::lock_guard lock(mutex_);
        return cookies_;
    }
    std::vector<std::wstring> opened() const {
        std::lock_guard lock(mutex_);
        return opened_;
    }

    bool refuse_cookies = false;
    bool refuse_links = false;

private:
    mutable std::mutex mutex_;
    std::vector<Cookie> cookies_;
    std::vector<std::wstring> opened_;
};

}  // namespace agent::testing
