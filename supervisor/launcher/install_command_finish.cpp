// The install steps after the new patch holds its data: the service's files, the install
// date, the upgrade state, the service registration, the report to the user and the
// restart that an upgrade may need.
#include "localization_tools/message_catalogue.h"
#include "localization_tools/message_format.h"
#include "supervisor/common/console.h"
#include "supervisor/common/exceptions.h"
#include "supervisor/common/paths/product_version.h"
#include "supervisor/common/paths/system_paths.h"
#include "supervisor/common/process/process_executor.h"
#include "supervisor/common/upgrade/upgrade_state_store.h"
#include "supervisor/launcher/install_command.h"
#include "supervisor/launcher/launcher.h"
#include "supervisor/launcher/launcher_arguments.h"
#include "supervisor/launcher/rollback_report.h"
#include "supervisor/launcher/start_failure.h"

#include <boost/algorithm/string/join.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/throw_exception.hpp>

#include <iostream>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

constexpr const char* kRun = "operator()";

// Numbers of the messages in the message catalogue.
constexpr std::uint32_t kNeedRebootMessage = 43;
constexpr std::uint32_t kAutoRestartMessage = 46;
constexpr std::uint32_t kRunSetupMessage = 55;
constexpr std::uint32_t kConfigurationRequiredMessage = 56;
constexpr std::uint32_t kUpdateInstalledMessage = 57;

std::string Message(std::uint32_t number, const std::vector<std::string>& arguments = {}) {
  return localization::FormatMessage(localization::LookupMessage(number), arguments);
}

void PrintBold(const Traceable& tracing, const std::string& text) {
  PrintLine(tracing.Tracer().get(), std::cout, kTraceImportant, "\n<B>" + text + "</B>\n");
}

}  // namespace

void InstallCommand::RemoveLegacyKernelModules() {
  const Path modules = KernelModulesDir();
  for (const char* module : {"obx4fs_oas.ko", "redirfs.ko"}) {
    Remove(modules / module);
  }
}

void InstallCommand::InstallService(Context& context) {
  Trace(kTraceDebug, "InstallService", "Installing service ...");
  if (context.systemd) {
    // In every mode: the unit of the version being installed is the one the restart and
    // every later start run, and a removal without purge took it away.
    CopyFile(context.newPatch.SystemdUnitSource(), context.product.SystemdUnitFile(), true);
    return;
  }
  // Through install-current, so that the link follows every later switch of the patch.
  const Path script = context.product.InitScript();
  if (context.mode == InstallMode::UpgradeWithoutRenaming && fs::exists(script)) {
    return;
  }
  CreateOrReplaceSymlink(script, context.product.Current().InitScript());
}

void InstallCommand::WriteInstallDate(const Context& context) {
  const Path file = context.mode == InstallMode::Install ? context.product.InstallDate()
                                                         : context.newPatch.UpgradeDate();
  WriteTextFile(file, context.installTag);
}

void InstallCommand::SetUpgradeState(const Context& context) {
  Launcher& launcher = GetLauncher();
  const UpgradeState from = launcher.GetUpgradeState();
  const UpgradeState to = context.mode == InstallMode::UpgradeWithoutRenaming
                              ? UpgradeState::PackageReconfigured
                              : UpgradeState::Installed;
  const Path patch = context.newPatch.Root();
  boost::system::error_code error;
  if (to == UpgradeState::PackageReconfigured &&
      fs::equivalent(context.currentLink.Root(), patch, error)) {
    // The package of the running patch installed again: there is nothing to upgrade to,
    // and an upgrade to the current patch would make the start take it for its own
    // predecessor.
    Trace(kTraceDebug, "SetUpgradeState", patch, " is the installed patch; the state stays ",
          ToString(from));
    return;
  }
  if (context.currentLost) {
    UpgradeStateStore(Tracer()).RepairLostCurrent(context.product, patch);
    return;
  }
  if (from == UpgradeState::PackageReconfigured && to == UpgradeState::PackageReconfigured) {
    // An upgrade whose restart has not happened yet: this package replaces it.
    UpgradeStateStore(Tracer()).SupersedeUpgrade(context.product, patch);
    return;
  }
  launcher.SetUpgradeState(context.product, from, to, patch);
}

void InstallCommand::RegisterService(Context& context) {
  constexpr const char* kStep = "RegisterService";
  // Where the mask was seen: the link in /etc, else systemctl (a mask below /run, from
  // "systemctl mask --runtime", only systemd can tell).
  std::string maskedBy = "systemctl is-enabled";
  if (context.systemd) {
    // A unit in /etc/systemd/system would override the one just installed, but a link to
    // /dev/null there is an administrator's mask: the service must not run.
    const Path overriding = context.product.SystemdUnit();
    boost::system::error_code error;
    context.serviceMasked = fs::read_symlink(overriding, error) == "/dev/null";
    if (context.serviceMasked) {
      maskedBy = Concat(overriding, " -> /dev/null");
    } else if (fs::exists(fs::symlink_status(overriding))) {
      Remove(overriding);
    }
    GetLauncher().DaemonReload();
  }
  const bool keepEnablement =
      context.mode == InstallMode::UpgradeWithoutRenaming && context.serviceRegistered;
  if (!context.serviceMasked) {
    // The enabler asks systemctl before it enables: one question answers both.
    context.serviceMasked =
        keepEnablement ? context.currentService->IsMasked() : !context.currentService->Enable();
  }
  if (context.serviceMasked) {
    Trace(kTraceWarning, kStep, "Service ", context.currentService->Name(), " is masked (",
          maskedBy, "); it is neither enabled nor restarted");
    return;
  }
  if (keepEnablement) {
    Trace(kTraceDebug, kStep, "Service ", context.currentService->Name(),
          " was registered before; its enablement stays as it is");
  }
  if (context.mode == InstallMode::UpgradeWithRenaming) {
    context.previousService->Disable();
  }
}

void InstallCommand::SetUpgradeConfig(const Context& context) {
  if (context.mode != InstallMode::UpgradeWithRenaming) {
    return;
  }
  Trace(kTraceDebug, "SetUpgradeConfig", "Installing upgrade config ...");
  boost::property_tree::ptree config;
  config.put("Version", context.installingVersion.ToString());
  config.put("RestartCommand", boost::algorithm::join(context.restartCommand, " "));
  const ProductPaths& previous = context.previousProduct;
  WriteIni(previous.UpgradeIni(), config);
  RemoveSymlink(previous.Failed().Root());
  RemoveSymlink(previous.Upgrade().Root());
}

void InstallCommand::ReportResult(const Context& context) {
  Launcher& launcher = GetLauncher();
  launcher.SendEvent(EventName::PatchInstalled);
  if (context.mode == InstallMode::Install) {
    Trace(kTraceDebug, kRun, Message(kConfigurationRequiredMessage, {context.productName}));
    PrintBold(*this, Message(kRunSetupMessage, {context.product.SetupScript().string()}));
    return;
  }
  Trace(kTraceDebug, kRun,
        Message(kUpdateInstalledMessage, {context.productName, BuildProductVersion()}));
  if (!launcher.IsFanotifyOn(context.config)) {
    launcher.SendEvent(EventName::OsRebootRequired);
    PrintBold(*this, Message(kNeedRebootMessage));
    return;
  }
  if (context.serviceMasked) {
    // Nothing restarts a masked service: RestartForUpgrade tells what to do instead.
    return;
  }
  if (context.mode == InstallMode::UpgradeWithRenaming || context.isRunning) {
    launcher.SendEvent(EventName::ProgramRestartRequired, context.restartCommand);
    Trace(kTraceDebug, kRun, Message(kAutoRestartMessage));
  }
}

void InstallCommand::DisableReloadConnectors(const Context& context) {
  TraceEntry(kTraceDebug, "DisableReloadConnectors");
  if (Arguments().IsDisableReloadConnectors()) {
    GetLauncher().DisableReloadConnectors(context.newPatch);
  }
}

void InstallCommand::RestartForUpgrade(Context& context) {
  constexpr const char* kStep = "RestartForUpgrade";
  if (context.mode == InstallMode::Install) {
    Trace(kTraceDebug, kStep, "Skip product restart. It is not required");
    return;
  }
  if (!GetLauncher().IsFanotifyOn(context.config)) {
    Trace(kTraceDebug, kStep, "Skip product restart. Reboot required");
    return;
  }
  if (context.mode == InstallMode::UpgradeWithoutRenaming && !context.isRunning) {
    Trace(kTraceDebug, kStep, "Skip product restart. It is not required");
    return;
  }
  if (context.serviceMasked) {
    Trace(kTraceWarning, kStep, "Skip product restart. The service is masked");
    ReportMaskedService(context);
    return;
  }
  Trace(kTraceDebug, kStep, "Restarting product for upgrade ...");
  if (Arguments().IsAsyncRestart()) {
    AsynchronousRestart(context);
  } else {
    SynchronousRestart(context);
  }
}

void InstallCommand::ReportMaskedService(const Context& context) {
  // The package manager's output is where the administrator who masked the service looks:
  // the upgrade is installed, but only a start of the service completes it.
  const std::string& name = context.currentService->Name();
  PrintLine(Tracer().get(), std::cout, kTraceWarning,
            Concat("\n<YELLOW>Warning: the service ", name, " is masked, so version ",
                   context.installingVersion.ToString(),
                   " is installed but does not run yet; to complete the upgrade, run 'systemctl "
                   "unmask ",
                   name, "' and 'systemctl restart ", name, "'.</YELLOW>\n"));
}

void InstallCommand::SynchronousRestart(Context& context) {
  context.currentService->Restart();
  Trace(kTraceDebug, "SynchronousRestart", "Product restarted successfully");
  ReportRolledBackRestart(context);
}

void InstallCommand::ReportRolledBackRestart(const Context& context) {
  // The start that rolled back told it on its own console, which the service manager
  // keeps (the journal, or this command's trace): the package manager's output must show
  // it too.
  Launcher& launcher = GetLauncher();
  boost::system::error_code error;
  if (launcher.GetUpgradeState() != UpgradeState::RolledBack ||
      !fs::equivalent(context.product.Failed().Root(), context.newPatch.Root(), error)) {
    return;
  }
  ReportRollback(*this, "SynchronousRestart", context.installingVersion,
                 launcher.GetPatchVersion(context.currentLink),
                 FailedStartCause(*this, context.product.Failed()));
}

void InstallCommand::AsynchronousRestart(const Context& context) {
  constexpr const char* kStep = "AsynchronousRestart";
  // The restart outlives this process and the package manager's pipes: a new session with
  // only the null device for its standard streams.
  const auto result =
      ProcessExecutor::RunDetached({context.newPatch.Launcher().string(), "--restart"}, {});
  if (ivo::Failed(result.code)) {
    Trace(kTraceError, kStep, result.ToString());
    BOOST_THROW_EXCEPTION(ApplicationError("Can not initialize asynchronous product restart"));
  }
  Trace(kTraceDebug, kStep, "Asynchronous product restart initialized");
}

}  // namespace sov::supervisor
