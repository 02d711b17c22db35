// The "restart" command: hands a restart of the product's service to the service manager
// without waiting for the product to be up again (under systemd; SysV init scripts are
// synchronous by nature).
#pragma once

#include "supervisor/launcher/command.h"

namespace sov::supervisor {

class RestartCommand : public LauncherCommand {
 public:
  using LauncherCommand::LauncherCommand;
  // 0 once the restart is handed over; the service manager's failure throws.
  int operator()() override;
};

}  // namespace sov::supervisor
