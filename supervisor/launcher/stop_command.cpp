// The stop command and the signal-and-wait it is made of. The server is not our child, so
// there is nothing to wait for but its disappearance: a pidfd wakes the wait at its exit,
// and the 100 ms existence check stays the longest any wait lasts (all of it without one).
#include "supervisor/launcher/stop_command.h"

#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/process/process_handle.h"
#include "supervisor/launcher/launcher.h"

#include <boost/throw_exception.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace sov::supervisor {
namespace {

constexpr const char* kRun = "operator()";
constexpr std::chrono::milliseconds kPollInterval{100};

[[noreturn]] void ThrowKillError(int error) {
  BOOST_THROW_EXCEPTION(std::system_error(error, std::generic_category(), ""));
}

// Checks the process at least every 100 ms until it is gone (true) or `limit` has passed
// (false).
bool WaitUntilGone(const ProcessHandle& process, std::optional<std::chrono::milliseconds> limit) {
  const auto start = std::chrono::steady_clock::now();
  while (process.Exists()) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    if (limit && waited >= *limit) {
      return false;
    }
    process.AwaitGone(limit ? std::min(kPollInterval, *limit - waited) : kPollInterval);
  }
  return true;
}

bool SignalAndWait(const ProcessHandle& process, std::optional<std::chrono::milliseconds> limit) {
  process.Signal(SIGTERM);
  return WaitUntilGone(process, limit);
}

}  // namespace

bool StopProcess(pid_t pid, std::optional<std::chrono::milliseconds> limit) {
  return SignalAndWait(ProcessHandle(pid), limit);
}

void EndProcess(const Traceable& tracing,
                const char* step,
                pid_t pid,
                std::chrono::milliseconds grace,
                std::chrono::seconds killWait) {
  const ProcessHandle process(pid);
  if (SignalAndWait(process, grace)) {
    return;
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(grace).count();
  // A server leads the process group of the processes it started (it began a session of its
  // own); those it did not stop must not outlive it.
  const bool leader = getpgid(pid) == pid;
  tracing.Trace(kTraceWarning, step, "Process ", pid, " did not stop within ", seconds,
                " s of SIGTERM; killing it", leader ? " and its process group" : "");
  // The open handle keeps the number, and with it the group's, from passing on.
  if (!leader) {
    process.Signal(SIGKILL);
  } else if (kill(-pid, SIGKILL) != 0 && errno != ESRCH) {
    ThrowKillError(errno);
  }
  if (!WaitUntilGone(process, killWait)) {
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
  // The number was read before the handle was opened: a server that ended meanwhile may
  // have passed it on, and that process is none of ours to signal.
  const ProcessHandle server(pid);
  if (server.RunsExecutable(ProductPaths(Tracer()).Current().WdServer())) {
    SignalAndWait(server, std::nullopt);
  }
  Trace(kTraceDebug, kRun, "Product stopped");
  return kStopped;
}

}  // namespace sov::supervisor
