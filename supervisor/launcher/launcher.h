// The launcher application: opens the trace file, parses the command line and creates
// the one command that this process runs.
#pragma once

#include "supervisor/common/application.h"
#include "supervisor/common/log_copy.h"

namespace sov::supervisor {

class Launcher : public Application {
 public:
  // Opens the trace file "/var/log/brevantis/tarn/tarn_launcher.log", creating its
  // directory when needed. When the directory cannot be created a warning is printed and
  // the launcher runs without traces; when the file cannot be opened the constructor
  // throws "Can't open trace file <path>".
  Launcher();

  // Traces the exception like Application does, then rethrows it for main to report.
  int OnException(const std::exception_ptr& error) override;
  CommandCall CreateCommand(const Arguments& args) override;

 private:
  void OpenTrace();

  LogCopy logCopy_;
};

}  // namespace sov::supervisor
