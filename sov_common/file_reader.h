// The one way the launcher reads a whole file that others may have planted or replaced:
// opened without blocking (a FIFO or a device at the path cannot hang the caller), checked
// to be a regular file, and refused past a size limit (a huge file cannot exhaust memory).
#pragma once

#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <string>

namespace sov::tools {

struct ReadLimits {
  // Larger files are refused with EFBIG.
  std::size_t maxSize = std::size_t{16} * 1024 * 1024;
  // With false a symbolic link at the path itself is refused with ELOOP; links in the
  // directories above it are followed either way.
  bool followLinks = true;
};

struct FileContent {
  std::string text;
  // 0, or the errno of the failure: the open's (ENOENT ...), EINVAL for anything but a
  // regular file, EFBIG past the size limit, the read's. `text` is empty on failure.
  int error = 0;

  explicit operator bool() const { return error == 0; }
};

FileContent ReadWholeFile(const boost::filesystem::path& path, const ReadLimits& limits = {});

// The same, throwing std::system_error "Cannot read <path>" with the errno on failure.
std::string ReadWholeFileOrThrow(const boost::filesystem::path& path,
                                 const ReadLimits& limits = {});

}  // namespace sov::tools
