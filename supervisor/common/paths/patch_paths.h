// The paths inside one patch directory: a complete copy of the product tree for one
// version, below its own root (for example the "install-current" link). Accessors only
// compute paths; none touches the file system or fails.
#pragma once

#include "ivo/tracer.h"

#include <boost/filesystem/path.hpp>

#include <string>
#include <string_view>

namespace sov::supervisor {

using Path = boost::filesystem::path;

// `pathTemplate` with every "tarn" replaced by `productName`, left to right.
std::string ExpandPathTemplate(std::string_view pathTemplate, const std::string& productName);

class PatchPaths {
 public:
  PatchPaths() = default;

  const std::string& Root() const { return root_; }
  const std::string& ProductName() const { return productName_; }
  const ivo::TracerPtr& Tracer() const { return tracer_; }

  Path Manifest() const;
  Path LibexecDir() const;
  Path BinDir() const;
  Path Lib64Dir() const;
  Path LibDir() const { return Lib64Dir(); }
  Path SrcDir() const;
  Path DocDir() const;
  Path SharedDir() const;
  Path SystemdSleepHookSource() const;
  Path PmSleepHookSource() const;
  Path ResourceDir() const;
  Path EtcDir() const;
  Path PrivateDir() const;
  Path UpgradePersistentData() const;
  Path UpgradeSettings() const;
  Path UpgradeJson() const;
  Path InstallLog() const;
  Path StorageDir() const;
  Path KvdbDir() const;
  Path SettingsXml() const;
  Path DisableReloadConnectorsFlag() const;
  Path InitStorageDir() const;
  Path InitUpdatesDir() const;
  Path InitIni() const;
  Path InitAgreementsIni() const;
  Path UpdatesDir() const;
  Path AvBasesDir() const;
  Path UpdatableModulesDir() const;
  Path InitUpdatesDataDir() const;
  Path UpdatesDataDir() const;
  Path InitAvBasesDir() const;
  Path LocDir() const;
  Path SystemdUnitSource() const;
  Path InitScript() const;
  Path InitScriptSource() const;
  Path InitAppSettings() const;
  Path AppSettings() const;
  Path PrepareModuleScript() const;
  Path WdServer() const;
  Path MainExecutable() const;
  Path Starter() const;
  Path IntegrityChecker() const;
  Path IntegrityCheckXml() const;
  Path GuiIntegrityCheckXml() const;
  Path Setup() const;
  Path Launcher() const;
  Path EventsDb() const;
  Path UpgradeDate() const;
  Path CertManager() const;
  Path Response() const;
  Path Gui() const;
  Path ExportedSettings() const;
  Path SymlinksScript() const;
  Path Control() const;
  Path SelinuxPolicySource() const;

 private:
  friend class ProductPaths;
  PatchPaths(ivo::TracerPtr tracer, std::string root, std::string productName);

  // The expanded template joined to the root; the "Dir" form drops one trailing slash.
  Path Below(std::string_view pathTemplate) const;
  Path DirBelow(std::string_view pathTemplate) const;
  std::string Name(std::string_view nameTemplate) const;

  ivo::TracerPtr tracer_;
  std::string root_;
  std::string productName_;
};

}  // namespace sov::supervisor
