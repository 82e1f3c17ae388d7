#pragma once

#include <cstddef>
#include <string>

namespace agent::details {

// PRETTY_NAME of os-release and the kernel release, e.g.
// "Debian GNU/Linux 12 (bookworm) 6.1.0-18-amd64". Throws SystemException ("uname").
// The os-release file can be named for tests; by default /etc/os-release, then
// /usr/lib/os-release.
std::wstring get_os_description(const char* os_release = nullptr);

// Gives the system back the pages of the process's read-only file mappings (the code and
// constant data of the program and its libraries, font files) that no other process holds:
// they are read from their files again when next touched. What the kernel does under memory
// pressure, done at once by a program that is about to wait in the background for a long
// time. Pages that other processes map too, and any page that was written, stay. Returns
// how many mappings were advised (0 where the kernel cannot, before Linux 5.4).
std::size_t page_out_file_mappings();

}  // namespace agent::details
