// The "status" command: exit code 0 when the product runs, 3 when it does not.
#pragma once

#include "supervisor/launcher/command.h"

namespace sov::supervisor {

class StatusCommand : public LauncherCommand {
 public:
  static constexpr int kRunning = 0;
  static constexpr int kNotRunning = 3;

  using LauncherCommand::LauncherCommand;
  // Prints nothing; a failure to read the pid file propagates as an exception.
  int operator()() override;
};

}  // namespace sov::supervisor
