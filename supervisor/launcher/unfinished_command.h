// Stands for a command that this build does not carry yet: it ends the run with an
// ApplicationError that names the command, and changes nothing.
#pragma once

#include "supervisor/launcher/command.h"

namespace sov::supervisor {

class UnfinishedCommand : public LauncherCommand {
 public:
  UnfinishedCommand(Launcher& launcher,
                    std::shared_ptr<const LauncherArguments> arguments,
                    Name name);
  int operator()() override;

 private:
  Name name_;
};

}  // namespace sov::supervisor
