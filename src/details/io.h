#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Whole-file wrappers. They log the path at INFO and a failure at ERROR and return an
// empty or false result: a missing file is an ordinary outcome for the caller.
namespace agent::details::io {

std::vector<std::uint8_t> read_file(const std::wstring& path);

// Replaces the file with the bytes, mode 0600. The new content is written beside the old
// one and renamed over it, so a full disk or a crash never leaves a half-written file.
// Returns false (logged) on failure.
bool write_file(const std::wstring& path, const void* data, std::size_t length);

// The same, but a failure throws SystemException naming the failed call.
void write_file_or_throw(const std::wstring& path, const void* data, std::size_t length);

bool delete_file(const std::wstring& path);
bool exist_file(const std::wstring& path);

}  // namespace agent::details::io
