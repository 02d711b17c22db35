// Command: what one launcher run does. LauncherCommand adds the launcher and the parsed
// arguments that every launcher command is handed.
#pragma once

#include "supervisor/common/files/utils.h"
#include "supervisor/launcher/command_names.h"

#include <boost/core/noncopyable.hpp>

#include <memory>

namespace sov::supervisor {

class Launcher;
class LauncherArguments;

class Command : boost::noncopyable, public Utils {
 public:
  using Utils::Utils;
  virtual ~Command() = default;
  // Runs the command; the result is the process exit code.
  virtual int operator()() = 0;
};

class LauncherCommand : public Command {
 public:
  using Name = CommandName;

  LauncherCommand(Launcher& launcher, std::shared_ptr<const LauncherArguments> arguments);

 protected:
  Launcher& GetLauncher() const { return launcher_; }
  const LauncherArguments& Arguments() const { return *arguments_; }

 private:
  Launcher& launcher_;
  std::shared_ptr<const LauncherArguments> arguments_;
};

}  // namespace sov::supervisor
