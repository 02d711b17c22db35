// The paths of the live installation, and the four patch links (install-current,
// install-upgrade, install-previous, install-failed). A cheap, immutable value: copy it.
#pragma once

#include "supervisor/common/paths/patch_paths.h"

#include <string>

namespace sov::supervisor {

class ProductPaths {
 public:
  static constexpr const char* kBuiltInProductName = "tarn";

  explicit ProductPaths(ivo::TracerPtr tracer, std::string productName = kBuiltInProductName);

  const std::string& ProductName() const { return productName_; }

  Path UpgradeIni() const;
  Path CommonDir() const;
  Path Ini() const;
  Path AgreementsIni() const;
  Path Pcid() const;
  Path CommonUpdatesDataDir() const;
  Path InstallDate() const;
  Path SystemdUnit() const;
  Path SystemdUnitFile() const;
  Path InitScript() const;
  Path PrepareModuleLog() const;
  Path OfflineEventsDir() const;
  // The lock file of the commands that change the product (ProductLock).
  Path LauncherLock() const;
  Path LauncherLog() const;
  Path WdServerLog() const;
  Path SetupScript() const;
  Path InstallDir() const;
  Path VarDir() const;
  Path LogDir() const;
  Path ControlLink() const;
  Path ResponseLink() const;
  Path SystemdSleepHook() const;
  Path PmSleepHook() const;
  Path TempDir() const;
  Path PrivateDir() const;
  Path CommonUpdatesDir() const;
  Path OptDir() const;
  Path DocDir() const;
  Path EtcDir() const;
  Path FanotifyChecker() const;

  PatchPaths Current() const;
  PatchPaths Failed() const;
  PatchPaths Previous() const;
  PatchPaths Upgrade() const;
  // The new patch directory of an install: VarDir() / "<build version>_<tag>".
  PatchPaths Patch(const std::string& tag) const;
  // The patch whose root is `root`, such as the one a running launcher belongs to.
  PatchPaths PatchRootedAt(const Path& root) const;

  // The directory that holds the unit of "multi-user.target", asked of systemctl once per
  // process (a failed attempt is not kept). Throws std::logic_error "Not supported" when
  // PID 1 is not systemd, the runner's error when systemctl fails, and std::runtime_error
  // when systemctl prints no FragmentPath.
  Path SystemdUnits() const;

 private:
  Path At(std::string_view pathTemplate) const;
  Path DirAt(std::string_view pathTemplate) const;
  PatchPaths PatchAt(std::string_view rootTemplate) const;

  ivo::TracerPtr tracer_;
  std::string productName_;
};

}  // namespace sov::supervisor
