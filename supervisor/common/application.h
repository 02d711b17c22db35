// Application: runs the one command of a launcher process and answers the questions that
// every command asks of the installation (above all: does the product run?).
#pragma once

#include "supervisor/common/files/utils.h"
#include "supervisor/common/paths/patch_paths.h"

#include <boost/core/noncopyable.hpp>

#include <sys/types.h>

#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace sov::supervisor {

class Application : boost::noncopyable, public Utils {
 public:
  using Arguments = std::vector<std::string>;
  using CommandCall = std::function<int()>;

  using Utils::Utils;
  virtual ~Application() = default;

  // Creates the command for `args` (program name first) and runs it. An empty command
  // raises std::bad_function_call; every exception goes to OnException, whose result is
  // returned.
  int Run(const Arguments& args);

  // Traces "OnException: <diagnostic text>" at error level; returns 1.
  virtual int OnException(const std::exception_ptr& error);
  virtual CommandCall CreateCommand(const Arguments& args) = 0;

  // True when the watchdog server of the current patch runs: the process named by the pid
  // file "/var/run/wdserver.pid" (read as ReadPidFile says: under an exclusive flock waited
  // for at most kPidFileLockWait) executes the current patch's wdserver. Every "not
  // running" case (no file, empty file, bad content, dead process, another executable) is
  // false and traced; I/O failures, a pid file that is not a regular file and a lock held
  // too long throw. `pid`, when not null, receives the parsed pid.
  bool IsCurrentPatchRunning(pid_t* pid) const;
  // The same question of any patch: whether the server named by the pid file executes
  // `patch`'s wdserver (traced under the same name and texts).
  bool IsPatchRunning(const PatchPaths& patch, pid_t* pid) const;

  // Whether the management agent's package ("qvnagent" or "qvnagent64") is installed, as
  // the package database says (see supervisor::IsAgentInstalled); asked once per process.
  // Never throws.
  bool IsAgentInstalled() const;

  // Connector reload of the management agent (SIGHUP), unless the current patch's marker
  // file disables it; and the marker's removal and creation. None of them throws for the
  // agent's or the marker's problems: they are traced.
  void ReloadConnectors() const;
  void EnableReloadConnectors() const;
  void DisableReloadConnectors(const PatchPaths& patch) const;
};

}  // namespace sov::supervisor
