// The upgrade state and the install mode: the two classifications that the install, start
// and uninstall commands make of the installation before they act.
#pragma once

#include "supervisor/common/paths/product_paths.h"

namespace sov::supervisor {

enum class UpgradeState {
  NotInstalled = 0,
  Installed = 1,
  PackageReconfigured = 2,
  Upgrade = 3,
  Start = 4,
  UpgradeFailed = 5,
  StartFailed = 6,
  RollingBack = 7,
  RolledBack = 8,
  UpgradeWithRenaming = 9,
};

enum class InstallMode { Install = 0, UpgradeWithoutRenaming = 1, UpgradeWithRenaming = 2 };

// The value names ("NotInstalled" ... "UpgradeWithRenaming"; "Install" ...).
std::string ToString(UpgradeState state);
std::string ToString(InstallMode mode);

// From the roots of the two products' install-current links: A = the first exists, B = the
// second exists, S = the two are the same path. S and B: UpgradeWithoutRenaming; S alone:
// Install; B without S: UpgradeWithRenaming; A alone: UpgradeWithoutRenaming; else Install.
InstallMode GetInstallMode(const ProductPaths& first, const ProductPaths& second);

}  // namespace sov::supervisor
