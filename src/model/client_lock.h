#pragma once

#include <memory>
#include <stdexcept>

#include "details/logger.h"

namespace agent::details {

// The shared HTTP client for the duration of one call. Services hold it weakly: once the
// agent client is gone a late call fails with std::runtime_error instead of touching a
// destroyed session.
template <typename Client>
std::shared_ptr<Client> lock_http_client(const std::weak_ptr<Client>& client, const wchar_t* function) {
    auto locked = client.lock();
    if (!locked) {
        AGENT_ERROR(function) << "The HTTP client is no longer available";
        throw std::runtime_error("The HTTP client is no longer available");
    }
    return locked;
}

}  // namespace agent::details
