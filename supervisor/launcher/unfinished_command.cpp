// Placeholder for the commands that are not built yet.
#include "supervisor/launcher/unfinished_command.h"

#include "supervisor/common/exceptions.h"

#include <boost/format.hpp>

#include <utility>

namespace sov::supervisor {

UnfinishedCommand::UnfinishedCommand(Launcher& launcher,
                                     std::shared_ptr<const LauncherArguments> arguments,
                                     Name name)
    : LauncherCommand(launcher, std::move(arguments)), name_(name) {}

int UnfinishedCommand::operator()() {
  throw ApplicationError(
      (boost::format("The '%1%' command is not available in this build") % ToString(name_)).str());
}

}  // namespace sov::supervisor
