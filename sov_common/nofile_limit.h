// The kernel's ceiling on open files per process.
#pragma once

#include <cstdint>
#include <string>

namespace sov::tools {

// The number in `path` (decimal text, one trailing newline allowed). Throws
// std::system_error "Cannot read <path> file" when the file cannot be read (EINVAL when it
// is not a regular file, EFBIG past 64 bytes), and std::invalid_argument or
// std::out_of_range when the text is not a 64-bit number.
std::uint64_t GetNoFileLimitImpl(const std::string& path);

// GetNoFileLimitImpl("/proc/sys/fs/nr_open").
std::uint64_t GetNoFileLimit();

}  // namespace sov::tools
