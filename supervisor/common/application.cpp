// Application: the command run, exception tracing and the product's running state.
// The running state comes from the pid file that the watchdog server writes (pid_file.h)
// and from the executable of the process that it names.
#include "supervisor/common/application.h"

#include "sov_common/platform.h"
#include "supervisor/common/exceptions.h"
#include "supervisor/common/files/pid_file.h"
#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/paths/system_paths.h"
#include "supervisor/common/system/connector_reload.h"
#include "supervisor/common/system/package_query.h"

#include <boost/filesystem/operations.hpp>

#include <functional>
#include <string>

namespace sov::supervisor {
namespace {

constexpr const char* kRunning = "IsCurrentPatchRunning";

}  // namespace

int Application::Run(const Arguments& args) {
  try {
    const CommandCall command = CreateCommand(args);
    if (!command) {
      throw std::bad_function_call();
    }
    return command();
  } catch (...) {
    return OnException(std::current_exception());
  }
}

int Application::OnException(const std::exception_ptr& error) {
  if (IsTraceEnabled(kTraceError)) {
    std::string text = DiagnosticText(error);
    // One trace record: the line end is the formatter's.
    while (!text.empty() && text.back() == '\n') {
      text.pop_back();
    }
    Trace(kTraceError, "OnException", text);
  }
  return 1;
}

bool Application::IsCurrentPatchRunning(pid_t* pid) const {
  return IsPatchRunning(ProductPaths(Tracer()).Current(), pid);
}

bool Application::IsPatchRunning(const PatchPaths& patch, pid_t* pid) const {
  const auto parsed = ReadPidFile(*this, kRunning, WdServerPid());
  if (!parsed) {
    return false;
  }
  if (pid != nullptr) {
    *pid = *parsed;
  }
  boost::system::error_code error;
  const auto executable = boost::filesystem::read_symlink(ProcessExePath(*parsed), error);
  if (error) {
    Trace(kTraceError, kRunning, "Product not running (Access to process with pid ", *parsed,
          " failed. Reason: ", error.message(), ")");
    return false;
  }
  const std::string expected = patch.WdServer().string();
  if (!IsSameFile(executable.string(), expected)) {
    Trace(kTraceDebug, kRunning, "Product not running (", expected, " != ", executable,
          ", PID: ", *parsed, ")");
    return false;
  }
  Trace(kTraceDebug, kRunning, "Product running (PID:", *parsed, ")");
  return true;
}

bool Application::IsAgentInstalled() const {
  static const bool installed =
      supervisor::IsAgentInstalled(PackageQuery(Tracer(), GetDistribType()), GetBitness());
  return installed;
}

void Application::ReloadConnectors() const {
  ConnectorReload(Tracer(), NagentPid())
      .Reload(ProductPaths(Tracer()).Current().DisableReloadConnectorsFlag());
}

void Application::EnableReloadConnectors() const {
  ConnectorReload(Tracer(), NagentPid())
      .Enable(ProductPaths(Tracer()).Current().DisableReloadConnectorsFlag());
}

void Application::DisableReloadConnectors(const PatchPaths& patch) const {
  ConnectorReload(Tracer(), NagentPid()).Disable(patch.DisableReloadConnectorsFlag());
}

}  // namespace sov::supervisor
