#pragma once

#include <string>

namespace agent::details {

// PRETTY_NAME of os-release and the kernel release, e.g.
// "Debian GNU/Linux 12 (bookworm) 6.1.0-18-amd64". Throws SystemException ("uname").
// The os-release file can be named for tests; by default /etc/os-release, then
// /usr/lib/os-release.
std::wstring get_os_description(const char* os_release = nullptr);

}  // namespace agent::details
