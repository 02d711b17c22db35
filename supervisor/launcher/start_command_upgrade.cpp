// The start-time upgrade loop: each pass reads the upgrade state from the patch links,
// runs the step of that state and writes the next state before anything acts on it, so a
// start killed at any point resumes where it stopped and ends either with the new patch
// installed or with the previous one rolled back. A step that must continue in the other
// patch's launcher executes it (the state was written first).
#include "sov_common/file_reader.h"
#include "sov_common/init_system.h"
#include "supervisor/common/console.h"
#include "supervisor/common/error_guard.h"
#include "supervisor/common/process/exec_setup.h"
#include "supervisor/common/process/loadable_executable.h"
#include "supervisor/common/process/process_executor.h"
#include "supervisor/common/system/kernel_modules.h"
#include "supervisor/common/upgrade/update_copy.h"
#include "supervisor/common/upgrade/upgrade_info.h"
#include "supervisor/common/upgrade/upgrade_state_store.h"
#include "supervisor/launcher/launcher.h"
#include "supervisor/launcher/rollback_report.h"
#include "supervisor/launcher/start_command.h"
#include "supervisor/launcher/start_failure.h"
#include "supervisor/launcher/stop_command.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/throw_exception.hpp>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <utility>

extern char** environ;

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

constexpr std::chrono::seconds kFailedServerStopWait{30};

}  // namespace

StartCommand::Result StartCommand::UpgradeLoop(Context& context) {
  Launcher& launcher = GetLauncher();
  // A patch tree whose removal a kill interrupted goes now, whatever the state: the states
  // that only start the product would otherwise keep it until the next upgrade.
  UpgradeStateStore(Tracer()).CompletePendingRemovals(context.product);
  for (;;) {
    context.upgradeState = launcher.GetUpgradeState();
    switch (context.upgradeState) {
      case UpgradeState::Installed:
        return Installed(context);
      case UpgradeState::PackageReconfigured:
        if (auto result = PackageReconfigured(context)) {
          return *result;
        }
        break;
      case UpgradeState::Upgrade:
        SetState(context, UpgradeState::Start);
        ExecNewLauncher(context);
        break;  // only when it failed: the state is StartFailed
      case UpgradeState::Start:
        if (auto result = StartStep(context)) {
          return *result;
        }
        break;
      case UpgradeState::StartFailed:
        launcher.RunUninstallScript(context.product, context.current);
        SetState(context, UpgradeState::RollingBack);
        ExecLauncher(context);
        break;  // not reached
      case UpgradeState::RollingBack:
        RollingBack(context);
        break;
      case UpgradeState::RolledBack:
      case UpgradeState::UpgradeWithRenaming:
        return StartProduct(context);
      default:
        BOOST_THROW_EXCEPTION(std::logic_error("Unexpected upgrade state"));
    }
  }
}

void StartCommand::SetState(Context& context, UpgradeState to) {
  GetLauncher().SetUpgradeState(context.product, context.upgradeState, to, Path());
  context.upgradeState = to;
}

void StartCommand::ExecLauncher(Context& context) {
  const Path launcher = context.product.Current().Launcher();
  Trace(kTraceDebug, "ExecLauncher", "Executing launcher ", launcher, " ...");
  if (!launcher.is_absolute()) {
    BOOST_THROW_EXCEPTION(std::logic_error("Can't exec " + launcher.string() + ": not absolute"));
  }
  // The other launcher gets the standard streams, default signal handling and the product's
  // lock, which it holds until the product runs. After a failed exec the signals that end
  // a start are blocked again, so that they still reach their watch.
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  PrepareChildForExec();
  if (lock_) {
    lock_->PassOnAtExec();
  }
  const std::string& path = launcher.string();
  char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
  execve(path.c_str(), argv, environ);
  const int error = errno;
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  if (lock_) {
    lock_->TakeBackAfterFailedExec();
  }
  BOOST_THROW_EXCEPTION(std::system_error(error, std::generic_category(), "Can't exec " + path));
}

void StartCommand::ExecNewLauncher(Context& context) {
  // Checked here too, not only by the new launcher: a launcher cut off behind intact
  // headers would pass the exec and crash, and every later start would run it again.
  try {
    CheckPatchComplete(context.current);
    ExecLauncher(context);
  } catch (const std::exception& error) {
    Trace(kTraceError, "Upgrade", error.what());
    FailFirstStart(context, start_step::kExecLauncher);
  }
}

std::optional<StartCommand::Result> StartCommand::PackageReconfigured(Context& context) {
  constexpr const char* kStep = "PackageReconfigured";
  Launcher& launcher = GetLauncher();
  if (!launcher.IsFanotifyOn(context.ini) &&
      KernelModules(Tracer(), DistribType::Unknown, nullptr).IsLoaded()) {
    Trace(kTraceDebug, kStep,
          "Upgrade stopped because UseFanotify=false and kernel module is loaded");
    Trace(kTraceDebug, kStep, "Operating system restart is required to continue upgrade procedure");
    return StartProduct(context);
  }
  launcher.RunUninstallScript(context.product, context.current);
  SetState(context, UpgradeState::Upgrade);
  return std::nullopt;
}

std::optional<StartCommand::Result> StartCommand::StartStep(Context& context) {
  constexpr const char* kStep = "Start";
  std::optional<Result> result;
  const std::pair<const char*, std::function<void()>> steps[] = {
      {start_step::kStopPreviousServer, [&] { StopPreviousServer(context); }},
      {start_step::kCopyUpdates, [&] { CopyUpdates(context); }},
      {start_step::kExportPreviousSettings, [&] { ExportPreviousSettings(context); }},
      {start_step::kAddExportedSettings,
       [&] {
         UpgradeInfo(Tracer(), context.current.UpgradeJson())
             .AddExportedSettings(context.product.Current());
       }},
      {start_step::kInstallPatch, [&] { InstallPatchFiles(context); }},
      {start_step::kStartProduct, [&] { result = StartProduct(context); }},
  };
  for (const auto& [name, run] : steps) {
    if (!RunGuarded(*this, kStep, run)) {
      FailFirstStart(context, name);
      return std::nullopt;
    }
  }
  // The server runs: nothing from here on rolls back, and what a rollback would need goes
  // only once the state says Installed.
  LayServiceUnitAfterStart(context);
  SetState(context, UpgradeState::Installed);
  CleanUpAfterUpgrade(context);
  return result;
}

void StartCommand::FailFirstStart(Context& context, const char* step) {
  RecordFailedStartStep(*this, context.current, step);
  SetState(context, UpgradeState::StartFailed);
  CleanUpFailedStart();
}

void StartCommand::LayServiceUnitAfterStart(const Context& context) {
  // After the start: the install laid the unit already, and asking the service manager
  // where units live would keep the host without a server longer. The product runs, so a
  // failure here is told but does not undo the upgrade.
  try {
    InstallServiceUnit(context);
  } catch (const std::exception& error) {
    Trace(kTraceWarning, "InstallServiceUnit", error.what());
    PrintLine(nullptr, std::cout, kTraceWarning,
              Concat("\n<YELLOW>Warning: version ", context.version.ToString(),
                     " runs, but laying its service unit failed: ", error.what(), "</YELLOW>\n"));
  }
}

void StartCommand::StopPreviousServer(const Context& context) {
  // The service manager's restart stopped it, but a server started by hand (or by a start
  // that found the upgrade waiting for a reboot) still runs the previous patch, which
  // goes at the end of this step: two servers would run, one invisible to stop and status.
  pid_t pid = 0;
  if (!GetLauncher().IsPatchRunning(context.previous, &pid)) {
    return;
  }
  Trace(kTraceDebug, "StopPreviousServer", "Stopping the watchdog server of the previous patch ",
        context.previous.Root(), " ...");
  EndProcess(*this, "StopPreviousServer", pid, ServerStopGrace(context.ini));
}

void StartCommand::CopyUpdates(Context& context) {
  constexpr const char* kStep = "CopyUpdates";
  TraceEntry(kTraceDebug, kStep);
  if (context.installMode != InstallMode::UpgradeWithoutRenaming) {
    return;
  }
  Trace(kTraceDebug, kStep, "Copying update files from previous version ...");
  const UpdateCopy copy(Tracer());
  copy.CopyAllUpdates(context.previous, context.current);
  const bool oldUlkm = GetLauncher().GetPatchVersion(context.previous) < Version(12, 4, 0, 0);
  if (oldUlkm) {
    copy.RemoveUlkmUpdates(context.previous, context.current);
  }
  copy.CopyUpdatableModules(context.previous, context.current, !oldUlkm);
}

void StartCommand::ExportPreviousSettings(Context& context) {
  constexpr const char* kStep = "ExportPreviousSettings";
  Trace(kTraceDebug, kStep, "Exporting previous settings ...");
  const Path launcherPath = context.previous.Launcher();
  // With its slash: the file-system library appends none for an empty name.
  const std::string libDir = context.previous.Lib64Dir().string() + "/";
  Trace(kTraceDebug, kStep, "launcherPath = ", launcherPath);
  Trace(kTraceDebug, kStep, "libDir = ", libDir);
  const auto result =
      ProcessExecutor::Run({launcherPath.string(), "--export"}, {{"LD_LIBRARY_PATH", libDir}},
                           kExportDeadline, kExportGrace);
  if (!result.Succeeded()) {
    BOOST_THROW_EXCEPTION(std::runtime_error(result.ToString()));
  }
}

void StartCommand::InstallPatch(Context& context) {
  InstallPatchFiles(context);
  InstallServiceUnit(context);
}

void StartCommand::InstallPatchFiles(Context& context) {
  CheckPatchComplete(context.current);
  GetLauncher().RunInstallScript(context.product, context.current);
  if (context.agentService) {
    RunGuarded(*this, "InstallPatch", [&] { context.agentService->TryRestart(); });
  }
}

void StartCommand::CheckPatchComplete(const PatchPaths& patch) const {
  for (const Path& program : {patch.Launcher(), patch.WdServer(), patch.Starter()}) {
    if (!fs::is_regular_file(program) || access(program.c_str(), X_OK) != 0) {
      BOOST_THROW_EXCEPTION(std::runtime_error("Patch " + patch.Root() + " is incomplete: " +
                                               program.string() + " is not an executable file"));
    }
  }
  // The launcher is what stop, status and uninstall run: one that cannot run would leave
  // the product without them once the previous patch is gone.
  const std::string why = WhyNotLoadable(patch.Launcher());
  if (!why.empty()) {
    BOOST_THROW_EXCEPTION(std::runtime_error("Patch " + patch.Root() +
                                             " is incomplete: " + patch.Launcher().string() +
                                             " is not a program this machine can run: " + why));
  }
}

void StartCommand::InstallServiceUnit(const Context& context) const {
  if (!IsSystemd()) {
    // The init script link goes through install-current and follows every switch; only a
    // missing one is made.
    const Path script = context.product.InitScript();
    if (!fs::is_symlink(script) && !fs::exists(script) &&
        fs::exists(context.product.Current().InitScriptSource())) {
      CreateSymlink(script, context.product.Current().InitScriptSource());
    }
    return;
  }
  const Path source = context.current.SystemdUnitSource();
  if (!fs::exists(source)) {
    Trace(kTraceDebug, "InstallServiceUnit", source, " not found");
    return;
  }
  const Path unit = context.product.SystemdUnitFile();
  if (fs::exists(unit) && tools::ReadWholeFile(source).text == tools::ReadWholeFile(unit).text) {
    return;
  }
  CopyFile(source, unit, true);
  GetLauncher().DaemonReload();
}

void StartCommand::CleanUpFailedStart() {
  pid_t pid = 0;
  if (!RunGuarded(*this, "CleanUpFailedStart",
                  [&] { pid = GetLauncher().IsCurrentPatchRunning(&pid) ? pid : 0; }) ||
      pid == 0) {
    return;
  }
  Trace(kTraceDebug, "CleanUpFailedStart", "Stopping the watchdog server of the failed patch ...");
  RunGuarded(*this, "CleanUpFailedStart",
             [&] { EndProcess(*this, "CleanUpFailedStart", pid, kFailedServerStopWait); });
}

void StartCommand::RollingBack(Context& context) {
  constexpr const char* kStep = "RollingBack";
  try {
    InstallPatch(context);
  } catch (const std::exception& error) {
    Trace(kTraceError, kStep, error.what());
    Trace(kTraceError, kStep, "Rollback failed; it is repeated at the next start");
    throw;
  }
  SetState(context, UpgradeState::RolledBack);
  CompleteRollback(context);
}

void StartCommand::CompleteRollback(Context& context) {
  RunGuarded(*this, "RollingBack", [&] {
    const Launcher& launcher = GetLauncher();
    const PatchPaths failed = context.product.Failed();
    ReportRollback(*this, "RollingBack", launcher.GetPatchVersion(failed),
                   launcher.GetPatchVersion(context.current), FailedStartCause(*this, failed));
  });
}

StartCommand::Result StartCommand::Installed(Context& context) {
  constexpr const char* kStep = "Installed";
  const bool renaming = context.installMode == InstallMode::UpgradeWithRenaming;
  if (renaming) {
    Trace(kTraceDebug, kStep, "Prepare upgrade with renaming ...");
    context.firstService->Enable();
    context.secondService->Disable();
    context.secondService->Stop();
    Trace(kTraceDebug, kStep, "Upgrade with renaming prepared");
  }
  Result result = kStarted;
  try {
    result = StartProduct(context);
  } catch (const std::exception& error) {
    Trace(kTraceError, kStep, error.what());
    if (renaming) {
      CleanUpFailedStart();
      RollBackRenaming(context);
    }
    throw;
  }
  if (renaming) {
    CleanUpAfterUpgrade(context);
  }
  if (renaming && !context.packagesToRemove.empty()) {
    RemovePackages(context);
  }
  return result;
}

void StartCommand::RollBackRenaming(Context& context) {
  constexpr const char* kStep = "Installed";
  Trace(kTraceDebug, kStep, "Rolling back to previous product ...");
  RunGuarded(*this, kStep, [&] {
    context.secondService->Enable();
    context.firstService->Disable();
    context.secondService->Start();
    Trace(kTraceDebug, kStep, "Rolled back to previous product");
  });
}

void StartCommand::RemovePackages(const Context& context) {
  Trace(kTraceDebug, "Installed", "Removing previous product ...");
  std::vector<std::string> command = context.packageType == "deb"
                                         ? std::vector<std::string>{"dpkg", "-P"}
                                         : std::vector<std::string>{"rpm", "-e"};
  command.insert(command.end(), context.packagesToRemove.begin(), context.packagesToRemove.end());
  CmdObject(Tracer().get()).SetArgs(command)().Check();
}

std::vector<std::string> StartCommand::PackagesToRemove(const Context& context) const {
  if (context.installMode != InstallMode::UpgradeWithRenaming) {
    return {};
  }
  PatchManifest previous;
  PatchManifest current;
  GetLauncher().ReadPatchManifest(context.secondProduct.Current(), previous);
  GetLauncher().ReadPatchManifest(context.current, current);
  if (previous.packageName.empty() || previous.packageName == current.packageName) {
    return {};
  }
  return {previous.packageName};
}

}  // namespace sov::supervisor
