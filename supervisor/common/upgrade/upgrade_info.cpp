// Read, change and atomically replace the upgrade info of a patch.
#include "supervisor/common/upgrade/upgrade_info.h"

#include <boost/filesystem/operations.hpp>

namespace sov::supervisor {

UpgradeInfo::UpgradeInfo(ivo::TracerPtr tracer, Path file)
    : Utils(std::move(tracer)), file_(std::move(file)) {
  if (boost::filesystem::exists(file_)) {
    ReadJson(file_, tree_);
  }
}

void UpgradeInfo::Save() const {
  WriteJson(file_, tree_);
}

void UpgradeInfo::AddExportedSettings(const PatchPaths& active) {
  constexpr const char* kStep = "AddExportedSettingsToUpgradeInfo";
  Trace(kTraceDebug, kStep, "Add exported settings to upgrade info ...");
  const struct {
    const char* key;
    Path file;
  } exported[] = {{kForUpgradeSettings, active.UpgradeSettings()},
                  {kForUpgradePersistentData, active.UpgradePersistentData()}};
  for (const auto& [key, file] : exported) {
    if (boost::filesystem::exists(file)) {
      Trace(kTraceDebug, kStep, key, ": ", file);
      Put(key, file.string());
    }
  }
  Trace(kTraceDebug, kStep, "Saving upgrade info ...");
  Save();
}

}  // namespace sov::supervisor
