// The "start" command (also a launcher run without arguments): finishes or rolls back a
// pending upgrade, then prepares the system and runs the watchdog server of the current
// patch, which supervises the product. The upgrade part lives in start_command_upgrade.cpp.
//
// The start holds the product's lock (ProductLock) from before its context is built until
// it ends, through every exec of the other patch's launcher: an install or uninstall waits
// until the product runs, and a start waits for them.
//
// A start that SIGTERM, SIGINT or SIGHUP ends (TerminationSignals, from its first step) traces
// and prints the signal, stops the child it waits for (SIGTERM, SIGKILL 5 s later), and exits
// at once with 128 + the signal's number; the next start goes on from the state written last.
//
// Choices of this implementation for the upgrade steps:
// - Before the install script of a new patch runs, the patch is checked to be complete
//   (its launcher, watchdog server and starter are executable files, and the launcher is
//   an ELF program of this machine that is not cut off): a patch the package manager left
//   half unpacked fails its first start at once and rolls back, before any of the system
//   is pointed at it. The old launcher checks the same before it executes the new one.
// - A failed exec of the new patch's launcher (or a failed check before it) is a failed
//   first start: the state goes on to StartFailed and the old launcher rolls back.
// - The first start of a new patch begins by stopping a watchdog server of the previous
//   patch that still runs (one started outside the service manager, which its restart does
//   not stop): within the product's shutdown timeout and 10 s, then killed (EndProcess).
// - The first start of a new patch checks the service unit against the patch's after the
//   product runs, not before: the install laid it already, and finding where units live
//   asks the service manager, which the host would otherwise wait for without a watchdog
//   server. A failure there does not fail the start: it is traced and printed as a warning.
// - The clean-up after an upgrade (connector reload, the previous patch's updates, dumps of
//   other versions) runs once the state says Installed, after every step that can fail the
//   start, so that a rollback always finds the previous patch whole.
// - A failed first start stops the new patch's watchdog server when one runs (so that the
//   previous product can take the pid file): 30 s after SIGTERM it is killed (EndProcess).
// - A completed rollback sends no event of its own, but it is never silent: it prints a
//   warning naming the version that failed, the step that failed (recorded in the failed
//   patch's upgrade info, start_failure.h; "failed to start" when the server did) and the
//   version that runs again (standard output, which the journal keeps under systemd) and
//   traces the same at error level (ReportRollback). The exit code stays that of the
//   start. The failed patch stays behind its install-failed link until the next package
//   removes it.
// - A failed rollback leaves the state at "RollingBack" (nothing of the step is undone: its
//   actions are idempotent) so that the next start repeats it.
// - The packages to remove are those of the previous product after an upgrade that renamed
//   the product: its manifest's PackageName when it differs from ours. None otherwise.
// - The settings export of the previous patch may take up to 5 minutes (it reads the
//   product's databases), then gets SIGTERM and, 10 s later, SIGKILL; either failure is an
//   error whose text is the executor's record.
#pragma once

#include "supervisor/common/files/product_lock.h"
#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/system/service.h"
#include "supervisor/common/upgrade/agreements.h"
#include "supervisor/common/upgrade/upgrade_state.h"
#include "supervisor/common/upgrade/version.h"
#include "supervisor/launcher/command.h"
#include "supervisor/launcher/wdserver_command_line.h"

#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sov::supervisor {

class StartCommand : public LauncherCommand {
 public:
  static constexpr int kStarted = 0;
  static constexpr int kAlreadyRunning = 2;
  static constexpr std::chrono::minutes kExportDeadline{5};
  static constexpr std::chrono::seconds kExportGrace{10};

  using Result = int;

  struct Context {
    // Both products are `product`; the patches are its install-current and -previous.
    explicit Context(const ProductPaths& paths);

    ProductPaths product;
    ProductPaths secondProduct;
    PatchPaths current;
    PatchPaths previous;
    InstallMode installMode = InstallMode::Install;
    // The first and second product's services and, when it is installed, the agent's.
    std::optional<Service> firstService;
    std::optional<Service> secondService;
    std::optional<Service> agentService;
    Version version;
    std::vector<std::string> packagesToRemove;
    Agreements agreements;
    boost::property_tree::ptree ini;
    std::string packageType;
    UpgradeState upgradeState = UpgradeState::NotInstalled;
    ProductStartupMode startupMode = ProductStartupMode::Regular;
  };

  using LauncherCommand::LauncherCommand;

  // 0 when the watchdog server started, 2 when it already ran; no return at all when the
  // upgrade loop executes the launcher of another patch. Failures are exceptions. The
  // product's lock is held throughout, and passed on to the launcher executed.
  int operator()() override;

  // Reads the state and runs its step until one ends the loop (the upgrade state machine).
  Result UpgradeLoop(Context& context);
  // Prepares the system and runs the watchdog server. The clean-up after an upgrade is
  // the caller's, once nothing can fail the start any more (CleanUpAfterUpgrade).
  virtual Result StartProduct(Context& context);
  // Replaces the process with the launcher of the patch that install-current names.
  [[noreturn]] virtual void ExecLauncher(Context& context);

  Context BuildContext();
  // Throws std::logic_error when the end-user agreement of this version is not accepted.
  void CheckAgreements(const Context& context) const;

 protected:
  // The settings export of the previous patch's launcher ("--export").
  virtual void ExportPreviousSettings(Context& context);

 private:
  // Upgrade steps (start_command_upgrade.cpp). A step that returns a result ends the loop.
  std::optional<Result> PackageReconfigured(Context& context);
  std::optional<Result> StartStep(Context& context);
  Result Installed(Context& context);
  void RollingBack(Context& context);
  void SetState(Context& context, UpgradeState to);
  // The new patch's launcher, after its patch was checked; returns only when either failed,
  // with the state moved on to StartFailed.
  void ExecNewLauncher(Context& context);
  // Records the failed step, writes StartFailed and stops a server the attempt left.
  void FailFirstStart(Context& context, const char* step);
  void LayServiceUnitAfterStart(const Context& context);
  void StopPreviousServer(const Context& context);
  void CopyUpdates(Context& context);
  // The install actions: InstallPatchFiles, then the service unit.
  void InstallPatch(Context& context);
  void InstallPatchFiles(Context& context);
  void CheckPatchComplete(const PatchPaths& patch) const;
  void InstallServiceUnit(const Context& context) const;
  void CleanUpFailedStart();
  void CompleteRollback(Context& context);
  void RollBackRenaming(Context& context);
  void RemovePackages(const Context& context);
  std::vector<std::string> PackagesToRemove(const Context& context) const;

  // Start steps (start_command.cpp).
  void ReportTermination(int signal) const;
  ProductStartupMode DecideStartupMode(const Context& context) const;
  void CheckIntegrity(const Context& context);
  void ForkIntegrityCheck(const std::vector<std::string>& checker,
                          const char* component,
                          bool runAgentModuleChecker);
  void BuildKernelModulesIfRequired(Context& context);
  Result RunWdServer(const std::vector<std::string>& arguments);
  void CleanUpAfterUpgrade(Context& context);

  std::optional<ProductLock> lock_;
};

}  // namespace sov::supervisor
