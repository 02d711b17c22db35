// The "stop" command: SIGTERM to the watchdog server named by the pid file, then a wait
// until that process is gone. The server stops the product's processes itself.
//
// Choices of this implementation:
// - The wait holds the server through a pidfd where the kernel has them (ProcessHandle):
//   it ends when the server exits, not at the next of the 100 ms existence checks, which
//   stay the longest a single wait lasts and all there is without pidfds. A process that
//   has exited counts as gone once its parent has reaped it, as before.
// - The pid is checked again once the pidfd is open: a server that ended right after the
//   status query may have passed its number on, and the process that has it now is not
//   signalled; the stop then ends as for a server that ended before its SIGTERM.
#pragma once

#include "supervisor/launcher/command.h"

#include <sys/types.h>

#include <chrono>
#include <optional>

namespace sov::supervisor {

class StopCommand : public LauncherCommand {
 public:
  static constexpr int kStopped = 0;
  static constexpr int kAlreadyStopped = 2;

  using LauncherCommand::LauncherCommand;
  // 0 once the running server has gone, 2 when none ran. Waits as long as the server lives.
  int operator()() override;
};

// Sends SIGTERM to `pid` and waits until it is gone (true) or, with a `limit`, until the
// limit has passed (false), checking at its exit and at least every 100 ms. A process that is
// already gone is not an error; any other failure of kill throws std::system_error with its errno.
bool StopProcess(pid_t pid, std::optional<std::chrono::milliseconds> limit = std::nullopt);

// How long a process killed with SIGKILL may take to disappear before it counts as
// unkillable (a process stuck in the kernel).
inline constexpr std::chrono::seconds kKillWait{5};

// Stops the watchdog server `pid` within a bound: SIGTERM, then, when it still runs after
// `grace`, SIGKILL to it and to the process group it leads (the product processes it
// started, which it failed to stop), traced under `step`. Throws std::runtime_error "Process
// <pid> still runs <n> s after SIGKILL" when it outlives `killWait`, and std::system_error as
// StopProcess does.
void EndProcess(const Traceable& tracing,
                const char* step,
                pid_t pid,
                std::chrono::milliseconds grace,
                std::chrono::seconds killWait = kKillWait);

}  // namespace sov::supervisor
