// The uninstall command: one ordered list of steps, each safe to repeat. The service
// manager is asked to stop and disable the product's service only while it knows the
// service, so that a second run, or one after a run that failed past the unit file's
// removal, does not fail on a service that is already gone.
#include "supervisor/launcher/uninstall_command.h"

#include "sov_common/enum_names.h"
#include "sov_common/init_system.h"
#include "supervisor/common/error_guard.h"
#include "supervisor/common/files/product_lock.h"
#include "supervisor/common/paths/system_paths.h"
#include "supervisor/common/process/cmd.h"
#include "supervisor/common/system/firewall_chains.h"
#include "supervisor/common/system/package_query.h"
#include "supervisor/common/system/user_groups.h"
#include "supervisor/common/upgrade/upgrade_state.h"
#include "supervisor/launcher/launcher.h"
#include "supervisor/launcher/stop_command.h"
#include "supervisor/launcher/wdserver_command_line.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ptree.hpp>

#include <array>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

constexpr const char* kRun = "operator()";
constexpr std::array<const char*, 2> kModeNames = {"Uninstall", "Upgrade"};
// Kernel module files that old versions installed outside their patches.
constexpr std::array<const char*, 2> kLegacyKernelModules = {"obx4fs_oas.ko", "redirfs.ko"};

}  // namespace

std::string ToString(UninstallMode mode) {
  return tools::EnumName(kModeNames, static_cast<long long>(mode), "UninstallMode");
}

UninstallCommand::Context::Context(const ProductPaths& paths)
    : product(paths),
      previousProduct(paths),
      current(paths.Current()),
      previous(previousProduct.Current()) {}

int UninstallCommand::operator()() {
  // Held to the end: its stop runs "--stop" through the service manager, which takes none.
  const auto lock = ProductLock::Acquire(*this, ProductPaths(Tracer()), "--uninstall");
  Context context = BuildContext();
  Trace(kTraceDebug, kRun, "Mode: ", ToString(context.mode));
  CreateServices(context);
  RemoveCertificates(context);
  StopService(context);
  UnregisterService(context);
  RemoveTarnBypassFirewallChain(*this);
  GetLauncher().RunUninstallScript(context.product, context.current);
  RemoveLegacyKernelModules();
  RestartAgent(context);
  UserGroups(Tracer(), Launcher::GroupNames()).Delete();
  RemoveUpgradeConfig(context);
  ReloadConnectors();
  return 0;
}

UninstallCommand::Context UninstallCommand::BuildContext() const {
  Context context{ProductPaths(Tracer())};
  context.mode =
      GetInstallMode(context.product, context.previousProduct) == InstallMode::UpgradeWithRenaming
          ? UninstallMode::Upgrade
          : UninstallMode::Uninstall;
  context.systemd = IsSystemd();
  return context;
}

void UninstallCommand::CreateServices(Context& context) const {
  Launcher& launcher = GetLauncher();
  context.currentService.emplace(launcher.MakeService(context.product));
  context.previousService.emplace(launcher.MakeService(context.previousProduct));
  if (launcher.IsAgentInstalled()) {
    context.agentService.emplace(Tracer(), AgentServiceName());
  }
}

void UninstallCommand::RemoveCertificates(const Context& context) const {
  // Whatever the certificate manager answers, the product goes.
  CmdObject(Tracer().get()).SetArgs({context.current.CertManager().string(), "--remove-all"})();
}

bool UninstallCommand::IsServiceRegistered(const Context& context) const {
  if (context.systemd) {
    return fs::exists(context.product.SystemdUnitFile()) ||
           fs::exists(context.product.SystemdUnit());
  }
  // "service" runs the script through this path; a dangling link is no service either.
  return fs::exists(context.product.InitScript());
}

void UninstallCommand::StopService(Context& context) const {
  const std::string& name = context.currentService->Name();
  if (IsServiceRegistered(context)) {
    context.currentService->Stop();
  } else {
    // The service manager refuses an unknown service.
    Trace(kTraceDebug, "StopService", "Service ", name, " is not registered");
  }
  // systemd stops only what it started, so a product started by hand, or one whose
  // registration is gone, still runs here; it is stopped as "--stop" does, before its
  // files go.
  pid_t pid = 0;
  if (!GetLauncher().IsCurrentPatchRunning(&pid)) {
    return;
  }
  Trace(kTraceDebug, "StopService", "Product still runs; stopping it directly ...");
  // Bounded, so that a server that ignores SIGTERM cannot hold the package manager forever.
  // An ini that cannot be read must not keep the product from going: the server's default
  // shutdown timeout then counts.
  boost::property_tree::ptree ini;
  if (!RunGuarded(*this, "StopService", [&] {
        if (fs::exists(context.product.Ini())) {
          ReadIni(context.product.Ini(), ini);
        }
      })) {
    ini.clear();
  }
  EndProcess(*this, "StopService", pid, ServerStopGrace(ini));
  Trace(kTraceDebug, "StopService", "Product stopped");
}

void UninstallCommand::UnregisterService(Context& context) const {
  if (IsServiceRegistered(context)) {
    context.currentService->Disable();
  } else {
    Trace(kTraceDebug, "UnregisterService", "Service ", context.currentService->Name(),
          " is not registered; nothing to disable");
  }
  if (context.mode == UninstallMode::Upgrade) {
    context.previousService->Enable();
  }
  if (context.systemd) {
    Remove(context.product.SystemdUnitFile());
    GetLauncher().DaemonReload();
  } else {
    Remove(context.product.InitScript());
  }
}

void UninstallCommand::RemoveLegacyKernelModules() const {
  const Path directory = KernelModulesDir();
  for (const char* module : kLegacyKernelModules) {
    Remove(directory / module);
  }
}

void UninstallCommand::RestartAgent(Context& context) const {
  if (!context.agentService) {
    return;
  }
  RunGuarded(*this, "RestartAgent", [&] { context.agentService->TryRestart(); });
}

void UninstallCommand::RemoveUpgradeConfig(const Context& context) const {
  if (context.mode == UninstallMode::Upgrade) {
    Remove(context.previousProduct.UpgradeIni());
  }
}

void UninstallCommand::ReloadConnectors() const {
  const Launcher& launcher = GetLauncher();
  RunGuarded(*this, "ReloadConnectors", [&] {
    launcher.EnableReloadConnectors();
    launcher.ReloadConnectors();
  });
}

}  // namespace sov::supervisor
