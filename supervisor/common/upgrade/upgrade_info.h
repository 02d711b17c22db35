// The upgrade info of a patch, "<patch>/var/opt/brevantis/tarn/private/upgrade.json": a
// JSON object that the install command starts (old version, policies, settings changes)
// and the first start of the patch completes (where the exported settings are). The
// product's other programs read it.
#pragma once

#include "supervisor/common/files/utils.h"
#include "supervisor/common/paths/patch_paths.h"

#include <boost/property_tree/ptree.hpp>

#include <string>

namespace sov::supervisor {

class UpgradeInfo : public Utils {
 public:
  static constexpr const char* kForUpgradeSettings = "ForUpgradeSettings";
  static constexpr const char* kForUpgradePersistentData = "ForUpgradePersistentData";

  // Reads `file` when it exists (a missing file is an empty object); a malformed file
  // throws the JSON parser's error.
  UpgradeInfo(ivo::TracerPtr tracer, Path file);

  boost::property_tree::ptree& Tree() { return tree_; }
  const boost::property_tree::ptree& Tree() const { return tree_; }
  void Put(const std::string& key, const std::string& value) { tree_.put(key, value); }

  // Replaces the file atomically with the indented JSON of the tree.
  void Save() const;

  // Records the settings that the previous patch's launcher exported into `active`
  // (ForUpgradeSettings, ForUpgradePersistentData: only the files that exist) and saves.
  void AddExportedSettings(const PatchPaths& active);

 private:
  Path file_;
  boost::property_tree::ptree tree_;
};

}  // namespace sov::supervisor
