// Launcher: trace set-up and command dispatch. The dispatch order is fixed: the first
// matching option wins and later ones are ignored.
#include "supervisor/launcher/launcher.h"

#include "ivo/channel.h"
#include "sov_common/control_escape.h"
#include "supervisor/common/console.h"
#include "supervisor/common/paths/product_paths.h"
#include "supervisor/launcher/export_command.h"
#include "supervisor/launcher/install_command.h"
#include "supervisor/launcher/launcher_arguments.h"
#include "supervisor/launcher/restart_command.h"
#include "supervisor/launcher/start_command.h"
#include "supervisor/launcher/status_command.h"
#include "supervisor/launcher/stop_command.h"
#include "supervisor/launcher/uninstall_command.h"

#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>

#include <iostream>
#include <memory>

namespace sov::supervisor {
namespace {

constexpr const char* kTraceLineFormat = "%Y.%m.%d %X %I %p ";
constexpr ivo::ITracer::TraceLevel kTraceMaxLevel = 1000;

template <typename CommandType, typename... Extra>
Application::CommandCall MakeCall(Launcher& launcher,
                                  const std::shared_ptr<const LauncherArguments>& arguments,
                                  Extra&&... extra) {
  auto command = std::make_shared<CommandType>(launcher, arguments, std::forward<Extra>(extra)...);
  return [command]() { return (*command)(); };
}

}  // namespace

Launcher::Launcher() {
  OpenTrace();
}

void Launcher::OpenTrace() {
  const ProductPaths paths(nullptr);
  const Path logDir = paths.LogDir();
  boost::system::error_code error;
  if (!boost::filesystem::is_directory(logDir, error)) {
    boost::filesystem::create_directories(logDir, error);
    if (error) {
      const auto console = ivo::CreateTracer("Console", nullptr);
      const auto message =
          boost::format("Failed to create directory %1%. Running without traces") % logDir.string();
      PrintLine(console.get(), std::cout, kTraceWarning,
                "\n<YELLOW>Warning: " + message.str() + "</YELLOW>\n");
      return;
    }
  }
  const Path traceFile = paths.LauncherLog();
  auto channel = ivo::CreateFormattedChannel(ivo::CreateFileChannel(traceFile.c_str()),
                                             kTraceLineFormat, kTraceMaxLevel);
  SetTracer(ivo::CreateTracer("Launcher", std::move(channel)));
  logCopy_.Init(Tracer(), traceFile);
}

int Launcher::OnException(const std::exception_ptr& error) {
  Application::OnException(error);
  std::rethrow_exception(error);
}

Application::CommandCall Launcher::CreateCommand(const Arguments& args) {
  auto arguments = std::make_shared<const LauncherArguments>(args);
  // Escaped: a word with a line break must not forge trace lines.
  Trace(kTraceDebug, "CreateCommand",
        "Arguments: ", sov::tools::EscapeControlCharacters(arguments->ArgumentLine()));
  if (arguments->IsHelp()) {
    return [arguments]() {
      std::cout << arguments->Description() << std::endl;
      return 0;
    };
  }
  if (arguments->IsStatus()) {
    return MakeCall<StatusCommand>(*this, arguments);
  }
  if (arguments->IsStop()) {
    return MakeCall<StopCommand>(*this, arguments);
  }
  if (arguments->IsRestart()) {
    return MakeCall<RestartCommand>(*this, arguments);
  }
  if (arguments->IsExport()) {
    return MakeCall<ExportCommand>(*this, arguments);
  }
  if (arguments->GetInstall()) {
    logCopy_.Enable();
    return MakeCall<InstallCommand>(*this, arguments);
  }
  if (arguments->IsUninstall()) {
    logCopy_.Enable();
    return MakeCall<UninstallCommand>(*this, arguments);
  }
  return MakeCall<StartCommand>(*this, arguments);
}

}  // namespace sov::supervisor
