// The common part of the launcher's commands.
#include "supervisor/launcher/command.h"

#include "supervisor/launcher/launcher.h"

#include <utility>

namespace sov::supervisor {

LauncherCommand::LauncherCommand(Launcher& launcher,
                                 std::shared_ptr<const LauncherArguments> arguments)
    : Command(launcher.Tracer()), launcher_(launcher), arguments_(std::move(arguments)) {}

}  // namespace sov::supervisor
