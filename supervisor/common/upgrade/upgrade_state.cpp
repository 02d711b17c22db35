// Names of the upgrade states and install modes, and the install mode decision.
#include "supervisor/common/upgrade/upgrade_state.h"

#include "sov_common/enum_names.h"

#include <boost/filesystem/operations.hpp>

#include <array>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

bool Exists(const std::string& path) {
  boost::system::error_code error;
  const auto status = fs::status(path, error);
  return status.type() != fs::file_not_found && status.type() != fs::status_error;
}

}  // namespace

std::string ToString(UpgradeState state) {
  static constexpr std::array<const char*, 10> kNames = {
      "NotInstalled",  "Installed",   "PackageReconfigured", "Upgrade",    "Start",
      "UpgradeFailed", "StartFailed", "RollingBack",         "RolledBack", "UpgradeWithRenaming"};
  return sov::tools::EnumName(kNames, static_cast<int>(state), "UpgradeState");
}

std::string ToString(InstallMode mode) {
  static constexpr std::array<const char*, 3> kNames = {"Install", "UpgradeWithoutRenaming",
                                                        "UpgradeWithRenaming"};
  return sov::tools::EnumName(kNames, static_cast<int>(mode), "InstallMode");
}

InstallMode GetInstallMode(const ProductPaths& first, const ProductPaths& second) {
  const std::string firstRoot = first.Current().Root();
  const std::string secondRoot = second.Current().Root();
  const bool firstExists = Exists(firstRoot);
  const bool secondExists = Exists(secondRoot);
  const bool same = fs::path(firstRoot) == fs::path(secondRoot);
  if (same) {
    return secondExists ? InstallMode::UpgradeWithoutRenaming : InstallMode::Install;
  }
  if (secondExists) {
    return InstallMode::UpgradeWithRenaming;
  }
  return firstExists ? InstallMode::UpgradeWithoutRenaming : InstallMode::Install;
}

}  // namespace sov::supervisor
