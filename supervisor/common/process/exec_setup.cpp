// The child's side of starting a program: system calls only, since the parent may have
// held a lock (malloc's, the tracer's) at the moment of fork. close_range and getdents64
// are called through syscall() so that the binary needs no newer C library than it does.
#include "supervisor/common/process/exec_setup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>

#if __has_include(<linux/close_range.h>)
#include <linux/close_range.h>
#endif

namespace sov::supervisor {
namespace {

constexpr int kFirstNonStandard = STDERR_FILENO + 1;

void MarkCloseOnExec(int fd) {
  fcntl(fd, F_SETFD, FD_CLOEXEC);  // fails harmlessly for a number that is not open
}

// The descriptor an entry of /proc/self/fd names; -1 for "." and "..".
int ParseDescriptor(const char* name) {
  if (*name == '\0') {
    return -1;
  }
  int fd = 0;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9' || fd > (INT_MAX - 9) / 10) {
      return -1;
    }
    fd = fd * 10 + (*name - '0');
  }
  return fd;
}

}  // namespace

void ResetSignalHandling() {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) {
    // Fails harmlessly for SIGKILL, SIGSTOP and the signals the C library keeps for itself.
    sigaction(signal, &standard, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

void KeepOnlyStandardStreams() {
  if (!close_on_exec::ByCloseRange() && !close_on_exec::ByProcList()) {
    close_on_exec::UpToLimit();
  }
}

void PrepareChildForExec() {
  ResetSignalHandling();
  KeepOnlyStandardStreams();
}

namespace close_on_exec {

bool ByCloseRange() {
#if defined(SYS_close_range) && defined(CLOSE_RANGE_CLOEXEC)
  return syscall(SYS_close_range, kFirstNonStandard, ~0U, CLOSE_RANGE_CLOEXEC) == 0;
#else
  return false;
#endif
}

bool ByProcList() {
  const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    return false;
  }
  // Marking changes no entry of the list, so one pass sees every descriptor.
  alignas(dirent64) char buffer[4096];
  long got = 0;
  while ((got = syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
    for (long offset = 0; offset < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      const int fd = ParseDescriptor(entry->d_name);
      if (fd >= kFirstNonStandard && fd != dir) {
        MarkCloseOnExec(fd);
      }
      offset += entry->d_reclen;
    }
  }
  close(dir);
  return got == 0;
}

void UpToLimit() {
  rlimit limit{};
  const rlim_t end = getrlimit(RLIMIT_NOFILE, &limit) == 0
                         ? std::min<rlim_t>(limit.rlim_cur, INT_MAX)
                         : static_cast<rlim_t>(1024);
  for (int fd = kFirstNonStandard; static_cast<rlim_t>(fd) < end; ++fd) {
    MarkCloseOnExec(fd);
  }
}

}  // namespace close_on_exec
}  // namespace sov::supervisor
