// The stop command and the signal-and-wait it is made of. The wait polls with signal 0:
// the server is not our child, so there is nothing to wait for but its disappearance.
#include "supervisor/launcher/stop_command.h"

#include "supervisor/launcher/launcher.h"

#include <boost/throw_exception.hpp>

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace sov::supervisor {
namespace {

constexpr const char* kRun = "operator()";
constexpr std::chrono::milliseconds kPollInterval{100};

void SleepPollInterval() {
  timespec left{0, 100000000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

[[noreturn]] void ThrowKillError(int error) {
  BOOST_THROW_EXCEPTION(std::system_error(error, std::generic_category(), ""));
}

// Probes `pid` every 100 ms until it is gone (true) or `limit` has passed (false).
bool WaitUntilGone(pid_t pid, std::optional<std::chrono::milliseconds> limit) {
  std::chrono::milliseconds waited{0};
  while (kill(pid, 0) == 0) {
    if (limit && waited >= *limit) {
      return false;
    }
    SleepPollInterval();
    waited += kPollInterval;
  }
  if (errno != ESRCH) {
    ThrowKillError(errno);
  }
  return true;
}

}  // namespace

bool StopProcess(pid_t pid, std::optional<std::chrono::milliseconds> limit) {
  if (kill(pid, SIGTERM) != 0 && errno != ESRCH) {
    ThrowKillError(errno);
  }
  return WaitUntilGone(pid, limit);
}

void EndProcess(const Traceable& tracing,
                const char* step,
                pid_t pid,
                std::chrono::milliseconds grace,
                std::chrono::seconds killWait) {
  if (StopProcess(pid, grace)) {
    return;
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(grace).count();
  // A server leads the process group of the processes it started (it began a session of its
  // own); those it did not stop must not outlive it.
  const bool leader = getpgid(pid) == pid;
  tracing.Trace(kTraceWarning, step, "Process ", pid, " did not stop within ", seconds,
                " s of SIGTERM; killing it", leader ? " and its process group" : "");
  if (kill(leader ? -pid : pid, SIGKILL) != 0 && errno != ESRCH) {
    ThrowKillError(errno);
  }
  if (!WaitUntilGone(pid, killWait)) {
    BOOST_THROW_EXCEPTION(std::runtime_error(
        Concat("Process ", pid, " still runs ", killWait.count(), " s after SIGKILL")));
  }
}

int StopCommand::operator()() {
  pid_t pid = 0;
  if (!GetLauncher().IsCurrentPatchRunning(&pid)) {
    Trace(kTraceDebug, kRun, "Product already stopped");
    return kAlreadyStopped;
  }
  Trace(kTraceDebug, kRun, "Stopping product...");
  StopProcess(pid);
  Trace(kTraceDebug, kRun, "Product stopped");
  return kStopped;
}

}  // namespace sov::supervisor
