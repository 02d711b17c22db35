// The product's lock. A waiter polls with LOCK_NB rather than blocking in flock: the wait
// stays bounded without signals, and the holder's record is read again for the message.
#include "supervisor/common/files/product_lock.h"

#include "sov_common/control_escape.h"
#include "supervisor/common/console.h"
#include "supervisor/common/exceptions.h"

#include <boost/filesystem/operations.hpp>
#include <boost/throw_exception.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>

namespace sov::supervisor {
namespace {

constexpr const char* kAcquire = "ProductLock";
constexpr std::chrono::milliseconds kPoll{50};
// A holder's record is one short line; anything longer is cut for the message.
constexpr std::size_t kMaxRecord = 512;

using Clock = std::chrono::steady_clock;
using sov::tools::UniqueFd;

[[noreturn]] void Fail(const Path& file, const std::string& what, int error) {
  BOOST_THROW_EXCEPTION(
      ApplicationError(Concat("Cannot ", what, " ", file, ": ", std::strerror(error))));
}

// Seconds to a tenth: "180", "0.3". (In whole numbers: the launcher needs no maths
// library, whose loading every run would pay for.)
std::string Seconds(std::chrono::steady_clock::duration duration) {
  const auto tenths =
      (std::chrono::duration_cast<std::chrono::milliseconds>(duration).count() + 50) / 100;
  std::string text = std::to_string(tenths / 10);
  if (tenths % 10 != 0) {
    text += '.';
    text += static_cast<char>('0' + tenths % 10);
  }
  return text;
}

// Refuses what a lock file must not be: the holder truncates and writes it.
void CheckLockFile(int fd, const Path& file) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    Fail(file, "examine", errno);
  }
  std::string problem;
  if (!S_ISREG(status.st_mode)) {
    problem = "it is not a regular file";
  } else if (status.st_uid != geteuid()) {
    problem = Concat("it belongs to user ", status.st_uid);
  } else if (status.st_nlink != 1) {
    problem = "it has other names (hard links)";
  }
  if (!problem.empty()) {
    BOOST_THROW_EXCEPTION(ApplicationError(Concat("Refusing the lock file ", file, ": ", problem)));
  }
}

// "pid 1234: --install t2" from the holder's record; empty when there is none.
std::string ReadHolder(int fd) {
  char buffer[kMaxRecord];
  const ssize_t got = pread(fd, buffer, sizeof buffer, 0);
  if (got <= 0) {
    return "";
  }
  std::string record(buffer, static_cast<std::size_t>(got));
  record = record.substr(0, record.find('\n'));
  const auto blank = record.find(' ');
  if (record.empty() || blank == 0) {
    return "";
  }
  const std::string pid = record.substr(0, blank);
  const std::string command = blank == std::string::npos ? "" : record.substr(blank + 1);
  return "pid " + pid + (command.empty() ? "" : ": " + command);
}

std::string Holder(int fd) {
  const std::string holder = ReadHolder(fd);
  return holder.empty() ? "" : " (" + holder + ")";
}

void WriteHolder(const Traceable& tracing, int fd, const Path& file, const std::string& command) {
  const std::string record =
      Concat(getpid(), " ", sov::tools::EscapeControlCharacters(command), "\n");
  if (ftruncate(fd, 0) != 0 ||
      pwrite(fd, record.data(), record.size(), 0) != static_cast<ssize_t>(record.size())) {
    // Only a later waiter's message loses the holder's name.
    tracing.Trace(kTraceError, kAcquire, "Cannot record this run in ", file, ": ",
                  std::strerror(errno));
  }
}

void WaitForLock(const Traceable& tracing,
                 int fd,
                 const Path& file,
                 std::chrono::milliseconds wait) {
  const auto start = Clock::now();
  bool waiting = false;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    if (errno != EWOULDBLOCK) {
      Fail(file, "lock", errno);
    }
    const auto waited = Clock::now() - start;
    if (!waiting) {
      waiting = true;
      const std::string text =
          Concat("Another launcher command is changing the product", Holder(fd), "; waiting up to ",
                 Seconds(wait), " s for it to end ...");
      PrintLine(tracing.Tracer().get(), std::cout, kTraceImportant, text);
    }
    if (waited >= wait) {
      BOOST_THROW_EXCEPTION(
          ApplicationError(Concat("Another launcher command is changing the product", Holder(fd),
                                  "; gave up after waiting ", Seconds(waited), " s for ", file)));
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(
        kPoll, wait - std::chrono::duration_cast<Clock::duration>(waited)));
  }
  if (waiting) {
    tracing.Trace(kTraceDebug, kAcquire, "Lock taken after ", Seconds(Clock::now() - start), " s");
  }
}

// The descriptor that the launcher which executed this one left at kInheritedFd, when it
// is the lock of `file` and this process holds it; the copy is moved to a close-on-exec
// number. Anything else at that number that is a description of the lock file is closed;
// the caller's other descriptors are left alone.
UniqueFd AdoptInherited(const Traceable& tracing, const Path& file) {
  constexpr int inherited = ProductLock::kInheritedFd;
  struct stat passed {};
  struct stat named {};
  if (fstat(inherited, &passed) != 0 || lstat(file.c_str(), &named) != 0 ||
      !S_ISREG(passed.st_mode) || passed.st_dev != named.st_dev || passed.st_ino != named.st_ino) {
    return UniqueFd();
  }
  // Without a wait: the description is ours when its lock is, and no one else's then.
  if (flock(inherited, LOCK_EX | LOCK_NB) != 0) {
    close(inherited);
    return UniqueFd();
  }
  UniqueFd fd(fcntl(inherited, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
  close(inherited);
  if (!fd) {
    Fail(file, "keep the inherited lock", errno);
  }
  tracing.Trace(kTraceDebug, kAcquire, "Holding the lock that the executing launcher passed on");
  return fd;
}

}  // namespace

ProductLock::ProductLock(const Traceable& tracing, UniqueFd fd)
    : Traceable(tracing.Tracer()), fd_(std::move(fd)) {}

ProductLock::~ProductLock() {
  Release();
}

ProductLock& ProductLock::operator=(ProductLock&& other) noexcept {
  if (this != &other) {
    Release();
    Traceable::operator=(other);
    fd_ = std::move(other.fd_);
  }
  return *this;
}

std::optional<ProductLock> ProductLock::Acquire(const Traceable& tracing,
                                                const ProductPaths& product,
                                                const std::string& command,
                                                std::chrono::milliseconds wait) {
  const Path file = product.LauncherLock();
  if (UniqueFd adopted = AdoptInherited(tracing, file)) {
    return ProductLock(tracing, std::move(adopted));
  }
  UniqueFd fd(open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!fd) {
    const int error = errno;
    boost::system::error_code ignored;
    if (error == ENOENT && !boost::filesystem::is_directory(file.parent_path(), ignored)) {
      tracing.Trace(kTraceDebug, kAcquire, file.parent_path(),
                    " does not exist: nothing is installed to guard");
      return std::nullopt;
    }
    Fail(file, "open", error);
  }
  CheckLockFile(fd.Get(), file);
  WaitForLock(tracing, fd.Get(), file, wait);
  WriteHolder(tracing, fd.Get(), file, command);
  return ProductLock(tracing, std::move(fd));
}

void ProductLock::Release() {
  if (fd_) {
    flock(fd_.Get(), LOCK_UN);
    fd_.Reset();
  }
}

void ProductLock::PassOnAtExec() const {
  if (fd_) {
    dup2(fd_.Get(), kInheritedFd);  // the copy is without close-on-exec
  }
}

void ProductLock::TakeBackAfterFailedExec() const {
  if (fd_) {
    close(kInheritedFd);
  }
}

void ProductLock::CloseInChild() {
  fd_.Reset();
}

}  // namespace sov::supervisor
