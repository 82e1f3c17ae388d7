#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Whole-file wrappers. They log the path at INFO and a failure at ERROR and return an
// empty or false result: a missing file is an ordinary outcome for the caller.
namespace agent::details::io {

std::vector<std::uint8_t> read_file(const std::wstring& path);

// The same, but a failure throws SystemException naming the failed call. Only regular
// files are read: a directory fails "read" with EISDIR, anything else that is not a file
// "fstat" with EINVAL (a FIFO in the file's place never blocks the reader). A file larger
// than `max_size` fails "read" with EFBIG.
std::vector<std::uint8_t> read_file_or_throw(const std::wstring& path, std::uint64_t max_size = UINT64_MAX);

// The first `count` bytes of a regular file (all of it when it is shorter), with the
// failures of read_file_or_throw.
std::vector<std::uint8_t> read_file_head(const std::wstring& path, std::size_t count);

// Replaces the file with the bytes, mode 0600. The new content is written beside the old
// one and renamed over it, so a full disk or a crash never leaves a half-written file.
// Returns false (logged) on failure.
bool write_file(const std::wstring& path, const void* data, std::size_t length);

// The same, but a failure throws SystemException naming the failed call.
void write_file_or_throw(const std::wstring& path, const void* data, std::size_t length);

bool delete_file(const std::wstring& path);
bool exist_file(const std::wstring& path);

}  // namespace agent::details::io
