// The "status" command.
#include "supervisor/launcher/status_command.h"

#include "supervisor/launcher/launcher.h"

namespace sov::supervisor {

int StatusCommand::operator()() {
  return GetLauncher().IsCurrentPatchRunning(nullptr) ? kRunning : kNotRunning;
}

}  // namespace sov::supervisor
