// A process that is not our child, held through a pidfd where the kernel offers one (Linux
// 5.3 and later). While the handle is open its number cannot come to name another process,
// and its exit wakes a waiter at once; without pidfds the number and signal 0 stand in,
// and a wait simply sleeps its whole timeout.
#pragma once

#include "sov_common/unique_fd.h"
#include "supervisor/common/traceable.h"

#include <sys/types.h>

#include <chrono>

namespace sov::supervisor {

class ProcessHandle {
 public:
  // Opens the process `pid`. One that is already gone gives a handle whose Exists() is
  // false. Never throws: any failure to open a pidfd falls back to the number.
  explicit ProcessHandle(pid_t pid);

  pid_t Pid() const { return pid_; }
  bool HasPidfd() const { return static_cast<bool>(pidfd_); }

  // Whether the process is still in the process table (an exited one that its parent has
  // not reaped yet still is). Throws std::system_error for any error but ESRCH.
  bool Exists() const;
  // Sends `signal` to the process; false when it is gone. Throws std::system_error for
  // any error but ESRCH.
  bool Signal(int signal) const;
  // Returns when the process has left the process table or after `timeout`, whichever
  // comes first; without a pidfd, after `timeout`. Interrupted waits are resumed.
  void AwaitGone(std::chrono::milliseconds timeout) const;
  // Whether the process runs `executable` (the same device and inode as its
  // /proc/<pid>/exe); false when either cannot be resolved or the process is gone.
  bool RunsExecutable(const Path& executable) const;

 private:
  // Whether the process exited (it may still wait for its parent to reap it) by `deadline`.
  bool AwaitExit(std::chrono::steady_clock::time_point deadline) const;

  pid_t pid_;
  sov::tools::UniqueFd pidfd_;
  bool gone_ = false;
};

}  // namespace sov::supervisor
