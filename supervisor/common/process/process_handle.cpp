// The pidfd behind ProcessHandle. Signal 0 through the pidfd answers "still in the table"
// for exactly the process that was opened, where kill(pid, 0) could find a successor with
// the same number once the process has been reaped.
#include "supervisor/common/process/process_handle.h"

#include "sov_common/platform.h"

#include <boost/throw_exception.hpp>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <system_error>

namespace sov::supervisor {
namespace {

// Through syscall(): glibc 2.36's <sys/pidfd.h> declares its wrappers without C linkage,
// and older C libraries have none.
int OpenPidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0U));
}

[[noreturn]] void ThrowSignalError(int error) {
  BOOST_THROW_EXCEPTION(std::system_error(error, std::generic_category(), ""));
}

// 0, or the errno of sending `signal` through `pidfd` when there is one, else to `pid`.
int SendSignal(int pidfd, pid_t pid, int signal) {
  const int sent =
      pidfd >= 0 ? static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U))
                 : kill(pid, signal);
  return sent == 0 ? 0 : errno;
}

void SleepFor(std::chrono::nanoseconds timeout) {
  if (timeout.count() <= 0) {
    return;
  }
  timespec left{static_cast<time_t>(timeout.count() / 1000000000),
                static_cast<long>(timeout.count() % 1000000000)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

ProcessHandle::ProcessHandle(pid_t pid) : pid_(pid) {
  // Numbers below 1 name process groups or every process to kill(): never one process.
  if (pid <= 0) {
    gone_ = true;
    return;
  }
  pidfd_.Reset(OpenPidfd(pid));
  // ESRCH: gone already. Any other failure (ENOSYS before Linux 5.3) leaves the number.
  gone_ = !pidfd_ && errno == ESRCH;
}

bool ProcessHandle::Exists() const {
  if (gone_) {
    return false;
  }
  const int error = SendSignal(pidfd_.Get(), pid_, 0);
  if (error != 0 && error != ESRCH) {
    ThrowSignalError(error);
  }
  return error == 0;
}

bool ProcessHandle::Signal(int signal) const {
  if (gone_) {
    return false;
  }
  const int error = SendSignal(pidfd_.Get(), pid_, signal);
  if (error != 0 && error != ESRCH) {
    ThrowSignalError(error);
  }
  return error == 0;
}

void ProcessHandle::AwaitGone(std::chrono::milliseconds timeout) const {
  if (!pidfd_) {
    SleepFor(timeout);
    return;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  if (!AwaitExit(deadline)) {
    return;
  }
  // Its parent reaps it in a moment, which cannot be waited for: look again after 1, 2,
  // 4... ms rather than after the whole timeout.
  std::chrono::milliseconds pause{1};
  while (Clock::now() < deadline && Exists()) {
    SleepFor(std::min<Clock::duration>(pause, deadline - Clock::now()));
    pause *= 2;
  }
}

bool ProcessHandle::AwaitExit(std::chrono::steady_clock::time_point deadline) const {
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd exited{pidfd_.Get(), POLLIN, 0};
    const int ready = poll(&exited, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready >= 0) {
      return ready > 0;
    }
    if (errno != EINTR) {
      // Never a busy loop for the caller: the wait lasts as long as without a pidfd.
      SleepFor(left);
      return false;
    }
  }
}

bool ProcessHandle::RunsExecutable(const Path& executable) const {
  char target[PATH_MAX];
  const std::string link = ProcessExePath(pid_);
  const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  if (length < 0) {
    return false;
  }
  target[length] = '\0';
  // Still ours after the look: the number cannot have passed to another process meanwhile.
  return IsSameFile(target, executable.string()) && Exists();
}

}  // namespace sov::supervisor
