// The stop command and the signal-and-wait it is made of. The wait polls with signal 0:
// the server is not our child, so there is nothing to wait for but its disappearance.
#include "supervisor/launcher/stop_command.h"

#include "supervisor/launcher/launcher.h"

#include <boost/throw_exception.hpp>

#include <signal.h>
#include <time.h>

#include <cerrno>
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

}  // namespace

bool StopProcess(pid_t pid, std::optional<std::chrono::milliseconds> limit) {
  if (kill(pid, SIGTERM) != 0 && errno != ESRCH) {
    ThrowKillError(errno);
  }
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
