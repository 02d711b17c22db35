// The names of the launcher's commands and options, as given on the command line after two
// dashes. Kept apart from the commands so that the argument parser needs nothing else.
#pragma once

#include <string>

namespace sov::supervisor {

enum class CommandName {
  Help,
  Start,
  Install,
  Uninstall,
  Status,
  Stop,
  PackageType,
  ZtnOn,
  ZtnOff,
  Restart,
  AsyncRestart,
  Export,
  DisableReloadConnectors,
};

// "help", "start", "install", "uninstall", "status", "stop", "package-type", "ztn-on",
// "ztn-off", "restart", "async-restart", "export", "disable-reload-connectors".
std::string ToString(CommandName name);

}  // namespace sov::supervisor
