// Command names and the common part of the launcher's commands.
#include "supervisor/launcher/command.h"

#include "supervisor/launcher/launcher.h"

#include <array>
#include <utility>

namespace sov::supervisor {

const char* LauncherCommand::NameOf(Name name) {
  static constexpr std::array<const char*, 13> kNames = {"help",
                                                         "start",
                                                         "install",
                                                         "uninstall",
                                                         "status",
                                                         "stop",
                                                         "package-type",
                                                         "ztn-on",
                                                         "ztn-off",
                                                         "restart",
                                                         "async-restart",
                                                         "export",
                                                         "disable-reload-connectors"};
  return kNames.at(static_cast<size_t>(name));
}

LauncherCommand::LauncherCommand(Launcher& launcher,
                                 std::shared_ptr<const LauncherArguments> arguments)
    : Command(launcher.Tracer()), launcher_(launcher), arguments_(std::move(arguments)) {}

}  // namespace sov::supervisor
