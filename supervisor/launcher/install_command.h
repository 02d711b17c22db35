// The "install" command: run by the package scripts once the package manager has unpacked
// a build into InstallDir(). It lays the build as a new patch directory, carries the
// configuration, identity, agreements and settings of the installed product over,
// registers the service, records the upgrade state and restarts the product when the
// upgrade needs it. The same command serves a first install and both kinds of upgrade.
//
// Choices of this implementation:
// - The install tag must be a plain name (see CheckInstallTag): it names a directory below
//   the product's variable directory.
// - The new patch is copied (hard links) into a hidden sibling and renamed into place, so
//   that its directory is either complete or absent. A run repeated after an interruption
//   (the package manager runs its script again) lays a directory that no state link names
//   anew, and keeps one that a link names: later steps of the earlier run put files there.
// - A first install interrupted after it pointed install-current at the new patch is
//   finished as the first install it is.
// - An upgrade keeps the end-user agreement the installed product accepted: the start
//   command requires it, and the restart that completes the upgrade would fail without it.
// - A second package installed before the restart that completes the first (the state
//   is still PackageReconfigured) takes the place of the first: the next start runs the
//   last package installed, and the superseded patch is removed.
// - The package of the installed patch installed again (its patch directory is the one
//   install-current names) changes no upgrade state: there is nothing to upgrade to.
// - A synchronous restart that ended in a rollback of the patch just installed is reported
//   on this command's console as a warning naming both versions (ReportRollback): the start
//   that rolled back printed it where the service manager keeps its output, which the
//   package manager does not show. The exit code stays 0: the product runs.
// - The service's unit file (systemd) is laid from the new patch in every mode, followed by
//   a daemon-reload, so that a unit changed in a new version is the one on the system when
//   the install ends, and one that a removal without purge took away is back. Under SysV
//   the init script link goes through install-current and follows the switch of patch; it
//   is laid whenever it is missing.
// - An administrator's mask (/etc/systemd/system/tarn.service linked to /dev/null, or one
//   below /run that "systemctl is-enabled" reports as "masked-runtime") is kept: the unit
//   is neither enabled nor restarted, and the trace says so. No ProgramRestartRequired
//   event is sent, as nothing restarts the product; where the upgrade would have restarted
//   it, a warning on the console says that the upgrade waits and how to complete it. Any
//   other file at that name in /etc/systemd/system still goes, as it would override the
//   unit just laid.
// - An upgrade of a product whose service was registered leaves its enablement as the
//   administrator left it (a disabled service stays disabled); the service is enabled on a
//   first install, after a removal without purge and when the product is renamed.
// - An install-current that names a directory that is gone is repaired: it points at the
//   new patch, which is installed as a first install would be, and the state says
//   Installed. With another state link beside it the install is refused before it changes
//   anything.
// - "ZtnUsagePolicy" in upgrade.json names the ZTN request of the command line: "Disabled"
//   (ztn-off), "Enabled" (ztn-on) or "Unchanged".
// - Files meant for the product's unprivileged programs: the live ini (made 0644) and the
//   PCID file (written 0644). Their directory common/ is made traversable (search
//   permission for all, not listing) so that they can be opened by name; every other file
//   the install puts there is private: made under the launcher's umask 077, or, for the
//   agreements copied with the package's mode, made so.
// - The product's lock (ProductLock) is held from just after the tag check up to the
//   restart step, and released before it: the restart's start takes it. A second install,
//   an uninstall or a start waits for it (at most ProductLock::kWait), so installs run one
//   after the other and each sees the state the one before left.
#pragma once

#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/system/service.h"
#include "supervisor/common/upgrade/agreements.h"
#include "supervisor/common/upgrade/upgrade_state.h"
#include "supervisor/common/upgrade/version.h"
#include "supervisor/launcher/command.h"

#include <boost/property_tree/ptree.hpp>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sov::supervisor {

class InstallCommand : public LauncherCommand {
 public:
  // Longest install tag: the patch directory's name, the version and an underscore before
  // it, must stay far below the file system's name limit.
  static constexpr std::size_t kMaxInstallTag = 128;

  struct Context {
    explicit Context(const ProductPaths& paths);

    std::string installTag;
    // The product being installed and the one being replaced; with the built-in product
    // name both are the same.
    ProductPaths product;
    ProductPaths previousProduct;
    PatchPaths newPatch;
    PatchPaths currentLink;
    PatchPaths previousLink;
    InstallMode mode = InstallMode::Install;
    bool isRunning = false;
    std::optional<Service> currentService;
    std::optional<Service> previousService;
    bool systemd = false;
    // Whether the unit file or init script was on the system before this install (not after
    // a removal without purge, nor on a first install).
    bool serviceRegistered = false;
    // install-current named a patch directory that is gone (UpgradeStateStore::IsCurrentLost).
    bool currentLost = false;
    // An administrator masked the unit (its name in /etc/systemd/system links to /dev/null,
    // or systemctl says it is masked).
    bool serviceMasked = false;
    Agreements agreements;
    boost::property_tree::ptree config;
    std::string productName;
    std::string language;
    Version installingVersion;
    std::optional<Version> installedVersion;
    std::vector<std::string> restartCommand;
    boost::property_tree::ptree upgradeInfo;
  };

  using LauncherCommand::LauncherCommand;

  // Installs; 0 on success. Any failure prints "Error: <message 40>" in red to standard
  // error and leaves as the exception that caused it (steps already done stay done).
  int operator()() override;

  // Throws ApplicationError when `tag` is not a plain name: 1 to kMaxInstallTag printable
  // ASCII characters other than blank and "/", but not "." or "..".
  static void CheckInstallTag(const std::string& tag);

  // The install mode of the two products (GetInstallMode), except that an install-current
  // link that already names `newPatch`, with no other state link beside it, is a first
  // install that was interrupted after its link was made: Install.
  static InstallMode DecideInstallMode(const ProductPaths& product,
                                       const ProductPaths& previousProduct,
                                       const PatchPaths& newPatch);

 private:
  int Install();
  Context BuildContext(const std::string& tag);
  static bool IsServiceRegistered(const Context& context);
  void ReadNewPatch(Context& context);
  void ReportFailure() const;

  // Laying the new patch (install_command.cpp).
  void LayNewPatch(const Context& context);
  // Throws ApplicationError naming InstallDir() when the package manager's unpacked build
  // is not there.
  void CheckUnpackedBuild(const Context& context);
  void ConfigureSELinux(const Context& context);
  void RunInstallScript(const Context& context);

  // Carrying the installed product's data over (install_command_data.cpp).
  void InstallStorage(Context& context);
  void InstallCommon(Context& context);
  void InstallUpdates(Context& context);
  void InstallConfig(Context& context);
  // Adds search permission for all to `directory`, and takes every permission of group
  // and others from `file`; a failure is only traced.
  void MakeTraversable(const Path& directory) const;
  void KeepPrivate(const Path& file) const;
  // Applies `change` to the mode of `path` (opened with `openFlags` added), never through
  // a link; false with errno set on failure.
  bool ChangeMode(const Path& path,
                  int openFlags,
                  const std::function<mode_t(mode_t)>& change) const;
  void InstallPcid(Context& context);
  void InstallAgreements(Context& context);
  void InstallSettings(Context& context);
  void InstallExportedSettings(const Context& context, const PatchPaths& oldPatch);
  void InstallEvents(Context& context);
  void SavePreviousLogs(Context& context);
  void SaveUpgradeInfo(Context& context);
  void TraceContent(const char* step, const Path& file) const;

  // Registering and finishing (install_command_finish.cpp).
  void RemoveLegacyKernelModules();
  void InstallService(Context& context);
  void WriteInstallDate(const Context& context);
  void SetUpgradeState(const Context& context);
  void RegisterService(Context& context);
  void SetUpgradeConfig(const Context& context);
  void ReportResult(const Context& context);
  void DisableReloadConnectors(const Context& context);
  void RestartForUpgrade(Context& context);
  // Prints the warning that the upgrade waits for the masked service, and what to do.
  void ReportMaskedService(const Context& context);
  void SynchronousRestart(Context& context);
  void ReportRolledBackRestart(const Context& context);
  void AsynchronousRestart(const Context& context);
};

}  // namespace sov::supervisor
