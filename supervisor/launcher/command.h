// Command: what one launcher run does. LauncherCommand adds the launcher and the parsed
// arguments that every launcher command is handed.
#pragma once

#include "supervisor/common/utils.h"

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
  // The command and option names of the launcher's command line.
  enum class Name {
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
  static const char* NameOf(Name name);

  LauncherCommand(Launcher& launcher, std::shared_ptr<const LauncherArguments> arguments);

 protected:
  Launcher& GetLauncher() const { return launcher_; }
  const LauncherArguments& Arguments() const { return *arguments_; }

 private:
  Launcher& launcher_;
  std::shared_ptr<const LauncherArguments> arguments_;
};

}  // namespace sov::supervisor
