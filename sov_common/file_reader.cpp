// Whole-file reads with O_NONBLOCK and a type and size check on the open descriptor, so
// that the checks and the read concern the same file.
#include "sov_common/file_reader.h"

#include "sov_common/unique_fd.h"

#include <boost/throw_exception.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace sov::tools {

FileContent ReadWholeFile(const boost::filesystem::path& path, const ReadLimits& limits) {
  FileContent content;
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (limits.followLinks ? 0 : O_NOFOLLOW);
  const UniqueFd fd(open(path.c_str(), flags));
  struct stat status {};
  if (!fd || fstat(fd.Get(), &status) != 0) {
    content.error = errno;
    return content;
  }
  if (!S_ISREG(status.st_mode)) {
    content.error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    return content;
  }
  if (static_cast<std::size_t>(status.st_size) > limits.maxSize) {
    content.error = EFBIG;
    return content;
  }
  std::array<char, 16384> buffer;
  for (;;) {
    const ssize_t got = read(fd.Get(), buffer.data(), buffer.size());
    if (got == 0) {
      return content;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      content.error = errno;
      content.text.clear();
      return content;
    }
    // The file may have grown since the fstat.
    if (content.text.size() + static_cast<std::size_t>(got) > limits.maxSize) {
      content.error = EFBIG;
      content.text.clear();
      return content;
    }
    content.text.append(buffer.data(), static_cast<std::size_t>(got));
  }
}

std::string ReadWholeFileOrThrow(const boost::filesystem::path& path, const ReadLimits& limits) {
  FileContent content = ReadWholeFile(path, limits);
  if (!content) {
    BOOST_THROW_EXCEPTION(
        std::system_error(content.error, std::generic_category(), "Cannot read " + path.string()));
  }
  return std::move(content.text);
}

}  // namespace sov::tools
