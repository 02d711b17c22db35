// Entry point: makes sure the standard streams are open, fixes the file-creation mask, runs
// the launcher, and turns the command's result or the exception that escaped it into the
// exit code and a coloured message.
#include "sov_common/standard_streams.h"
#include "supervisor/common/console.h"
#include "supervisor/common/exceptions.h"
#include "supervisor/launcher/launcher.h"

#include <sys/stat.h>

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  using namespace sov::supervisor;
  ivo::ITracer* const console = nullptr;  // main's own messages are traced by OnException
  sov::tools::EnsureStandardStreams();
  umask(077);
  try {
    Launcher launcher;
    return launcher.Run(std::vector<std::string>(argv, argv + argc));
  } catch (const ApplicationWarning& warning) {
    PrintLine(console, std::cout, kTraceWarning,
              "\n<YELLOW>Warning: " + std::string(warning.what()) + "</YELLOW>\n");
    return warning.ExitCode().value_or(1);
  } catch (const ApplicationError& error) {
    PrintLine(console, std::cerr, kTraceError,
              "\n<RED>Error: " + std::string(error.what()) + "</RED>\n");
    return error.ExitCode().value_or(1);
  } catch (...) {
    PrintLine(console, std::cerr, kTraceError,
              "\n<RED>Error: " + DiagnosticText(std::current_exception()) + "</RED>\n");
    return 1;
  }
}
