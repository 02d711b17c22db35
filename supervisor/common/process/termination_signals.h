// Ending a run on SIGTERM, SIGINT or SIGHUP as a failure rather than silently. While a
// TerminationSignals object lives, the three signals are blocked in every thread but one
// of its own, which reports the signal, stops the child the run waits for (RunningChild)
// and ends the process with status 128 + the signal's number. The default action would
// end the launcher without a word and leave that child running, and a caller that counts
// a death by SIGTERM as a clean exit (the service manager does) would wait for a server
// that never comes. Children still start with default signal handling and an empty signal
// mask (exec_setup.h).
#pragma once

#include "sov_common/unique_fd.h"

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace sov::supervisor {

class TerminationSignals {
 public:
  // Called on the watching thread before the child is stopped. It must not throw (an
  // exception is dropped) and must flush what it prints: the process ends with _exit.
  using Report = std::function<void(int signal)>;

  // How long the child has after SIGTERM, and again after SIGKILL, before the process
  // ends without it.
  static constexpr std::chrono::seconds kChildGrace{5};

  // Blocks the signals in the calling thread and starts watching them. Throws
  // std::system_error when the watch cannot be set up; nothing is changed then.
  explicit TerminationSignals(Report report);
  // Stops watching and gives the calling thread its signal mask back; a signal that came
  // in between then takes its default action.
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  static int ExitStatus(int signal) { return 128 + signal; }
  // "SIGTERM", "SIGINT", "SIGHUP"; the number for any other signal.
  static std::string Name(int signal);
  // For a forked child that does not exec: the signals take their default action again.
  static void UnblockInChild();

 private:
  void Watch();
  [[noreturn]] void Terminate(int signal);

  Report report_;
  sigset_t previousMask_{};
  tools::UniqueFd signals_;
  tools::UniqueFd wake_;
  std::thread watcher_;
};

// The child that the calling thread now waits for, from right after its start until it
// was reaped. A termination signal meanwhile stops it (SIGTERM, SIGKILL after
// TerminationSignals::kChildGrace) before the process ends, and this object's end then
// never returns: nothing of the run goes on after a child that was stopped, so a failure
// the stop caused is never taken for the step's own (a rollback, say). Without a
// TerminationSignals object alive it costs a pidfd and two atomic stores.
class RunningChild {
 public:
  explicit RunningChild(pid_t pid);
  ~RunningChild();
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;

 private:
  pid_t pid_;
  tools::UniqueFd pidfd_;
  pid_t outerPid_;
  int outerPidfd_;
};

}  // namespace sov::supervisor
