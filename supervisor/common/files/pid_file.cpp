// Reading of the watchdog server's pid file. The open does not block and the type is
// checked on the descriptor, so a FIFO planted at the path can neither hang the reader nor
// be mistaken for the file; the size is taken again once the lock is held.
#include "supervisor/common/files/pid_file.h"

#include "sov_common/file_lock.h"
#include "sov_common/unique_fd.h"
#include "supervisor/common/files/pid_text.h"

#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

namespace sov::supervisor {
namespace {

constexpr off_t kMaxPidFileSize = 9;

[[noreturn]] void ThrowSystemError(const std::string& message, int error = errno) {
  BOOST_THROW_EXCEPTION(std::system_error(error, std::generic_category(), message));
}

std::string Format(const char* format, const Path& path) {
  return (boost::format(format) % path.string()).str();
}

struct stat Stat(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    ThrowSystemError("fstat syscall failed");
  }
  return status;
}

// The whole content, read under the lock; nullopt when the file does not exist.
std::optional<std::string> ReadLocked(const Traceable& tracing,
                                      std::string_view operation,
                                      const Path& path,
                                      std::chrono::milliseconds lockWait) {
  const sov::tools::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    if (errno != ENOENT) {
      ThrowSystemError(Format("Cannot open %1%", path));
    }
    tracing.Trace(kTraceDebug, operation, "Product not running (Can't open ", path,
                  " file. Reason: ", std::strerror(ENOENT), ")");
    return std::nullopt;
  }
  const mode_t type = Stat(fd.Get()).st_mode;
  if (!S_ISREG(type)) {
    ThrowSystemError(Format("Cannot open %1%", path), S_ISDIR(type) ? EISDIR : EINVAL);
  }
  const sov::tools::FileLock lock(fd.Get(), lockWait);
  if (!lock.Locked()) {
    ThrowSystemError(Format("Lock of pid-file %1% failed", path), lock.Error());
  }
  const off_t size = Stat(fd.Get()).st_size;
  if (size > kMaxPidFileSize) {
    BOOST_THROW_EXCEPTION(std::logic_error(
        (boost::format("Pid-file %1% has unexpected size %2%") % path.string() % size).str()));
  }
  if (lseek(fd.Get(), 0, SEEK_SET) != 0) {
    ThrowSystemError(Format("Can't lseek pid-file %1%", path));
  }
  std::string content(static_cast<size_t>(size), '\0');
  const ssize_t got = read(fd.Get(), content.data(), content.size());
  if (got != static_cast<ssize_t>(content.size()) && got < 0) {
    ThrowSystemError(Format("Can't read pid-file %1%", path));
  }
  // A short read keeps the bytes read; the zero bytes after them end the number.
  return content;
}

}  // namespace

std::optional<pid_t> ReadPidFile(const Traceable& tracing,
                                 std::string_view operation,
                                 const Path& path,
                                 std::chrono::milliseconds lockWait) {
  const auto content = ReadLocked(tracing, operation, path, lockWait);
  if (!content) {
    return std::nullopt;
  }
  if (content->empty()) {
    tracing.Trace(kTraceDebug, operation, "Product not running (Pid-file ", path, " is empty)");
    return std::nullopt;
  }
  const auto pid = ParsePid(*content);
  if (!pid) {
    tracing.Trace(kTraceError, operation, "Product not running (Pid-file ", path,
                  " has wrong content '", *content, "')");
  }
  return pid;
}

}  // namespace sov::supervisor
