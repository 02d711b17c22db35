// The command-name table.
#include "supervisor/launcher/command_names.h"

#include "sov_common/enum_names.h"

#include <array>

namespace sov::supervisor {

std::string ToString(CommandName name) {
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
  return sov::tools::EnumName(kNames, static_cast<int>(name), "LauncherCommand");
}

}  // namespace sov::supervisor
