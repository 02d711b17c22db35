// Patch path accessors. Every path is one template in which "tarn" stands for the
// product's short name; joining to the root uses the file-system library's "/" so that
// the template's leading slash does not double.
#include "supervisor/common/paths/patch_paths.h"

#include <boost/format.hpp>

#include <utility>

namespace sov::supervisor {
namespace {

constexpr std::string_view kPlaceholder = "tarn";

std::string WithoutTrailingSlash(std::string path) {
  if (!path.empty() && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

}  // namespace

std::string ExpandPathTemplate(std::string_view pathTemplate, const std::string& productName) {
  std::string expanded;
  expanded.reserve(pathTemplate.size());
  size_t from = 0;
  for (size_t at = pathTemplate.find(kPlaceholder); at != std::string_view::npos;
       at = pathTemplate.find(kPlaceholder, from)) {
    expanded.append(pathTemplate.substr(from, at - from)).append(productName);
    from = at + kPlaceholder.size();
  }
  expanded.append(pathTemplate.substr(from));
  return expanded;
}

PatchPaths::PatchPaths(ivo::TracerPtr tracer, std::string root, std::string productName)
    : tracer_(std::move(tracer)), root_(std::move(root)), productName_(std::move(productName)) {}

Path PatchPaths::Below(std::string_view pathTemplate) const {
  return Path(root_) / ExpandPathTemplate(pathTemplate, productName_);
}

Path PatchPaths::DirBelow(std::string_view pathTemplate) const {
  return WithoutTrailingSlash(Below(pathTemplate).string());
}

std::string PatchPaths::Name(std::string_view nameTemplate) const {
  return ExpandPathTemplate(nameTemplate, productName_);
}

// clang-format off
Path PatchPaths::Manifest() const { return Below("/opt/brevantis/tarn/doc/manifest.ini"); }
Path PatchPaths::LibexecDir() const { return DirBelow("/opt/brevantis/tarn/libexec/"); }
Path PatchPaths::BinDir() const { return DirBelow("/opt/brevantis/tarn/bin/"); }
Path PatchPaths::Lib64Dir() const { return DirBelow("/opt/brevantis/tarn/lib64/"); }
Path PatchPaths::SrcDir() const { return DirBelow("/opt/brevantis/tarn/src/"); }
Path PatchPaths::DocDir() const { return DirBelow("/opt/brevantis/tarn/doc/"); }
Path PatchPaths::SharedDir() const { return DirBelow("/opt/brevantis/tarn/shared/"); }
Path PatchPaths::SystemdSleepHookSource() const { return SharedDir() / Name("tarn_hook.sh"); }
Path PatchPaths::PmSleepHookSource() const { return SharedDir() / Name("74_tarn_hook.sh"); }
Path PatchPaths::ResourceDir() const { return DirBelow("/opt/brevantis/tarn/resource/"); }
Path PatchPaths::EtcDir() const { return DirBelow("/etc/opt/brevantis/tarn/"); }
Path PatchPaths::PrivateDir() const { return DirBelow("/var/opt/brevantis/tarn/private/"); }
Path PatchPaths::UpgradePersistentData() const { return PrivateDir() / "for_upgrade_peristent_data.xml"; }
Path PatchPaths::UpgradeSettings() const { return PrivateDir() / "for_upgrade_settings.xml"; }
Path PatchPaths::UpgradeJson() const { return Below("/var/opt/brevantis/tarn/private/upgrade.json"); }
Path PatchPaths::InstallLog() const { return Below("/var/opt/brevantis/tarn/private/install.log"); }
Path PatchPaths::StorageDir() const { return Below("/var/opt/brevantis/tarn/private/storage/"); }
Path PatchPaths::KvdbDir() const { return WithoutTrailingSlash((StorageDir() / "kvdb/").string()); }
Path PatchPaths::SettingsXml() const { return StorageDir() / Name("tarn_settings.xml"); }
Path PatchPaths::DisableReloadConnectorsFlag() const { return Below("/var/opt/brevantis/tarn/private/disable_reload_connectors"); }
Path PatchPaths::InitStorageDir() const { return Below("/opt/brevantis/tarn/shared/init/storage/"); }
Path PatchPaths::InitUpdatesDir() const { return Below("/opt/brevantis/tarn/shared/init/updates/"); }
Path PatchPaths::InitIni() const { return Below("/opt/brevantis/tarn/shared/init/tarn.ini"); }
Path PatchPaths::InitAgreementsIni() const { return Below("/opt/brevantis/tarn/shared/init/agreements.ini"); }
Path PatchPaths::UpdatesDir() const { return DirBelow("/var/opt/brevantis/tarn/private/updates/"); }
Path PatchPaths::AvBasesDir() const { return WithoutTrailingSlash((UpdatesDir() / "avbases/").string()); }
Path PatchPaths::UpdatableModulesDir() const { return DirBelow("/opt/brevantis/tarn/lib64/updatable_modules/"); }
Path PatchPaths::InitUpdatesDataDir() const { return Below("/opt/brevantis/tarn/shared/init/updates/data/data/"); }
Path PatchPaths::UpdatesDataDir() const { return Below("/var/opt/brevantis/tarn/private/updates/data/data/"); }
Path PatchPaths::InitAvBasesDir() const { return Below("/opt/brevantis/tarn/shared/init/updates/avbases/"); }
Path PatchPaths::LocDir() const { return Below("/opt/brevantis/tarn/shared/loc/"); }
Path PatchPaths::SystemdUnitSource() const { return Below("/opt/brevantis/tarn/shared/") / Name("tarn.service"); }
Path PatchPaths::InitScript() const { return Below("/etc/init.d/tarn"); }
Path PatchPaths::InitScriptSource() const { return Below("/opt/brevantis/tarn/shared/tarn"); }
Path PatchPaths::InitAppSettings() const { return Below("/opt/brevantis/tarn/shared/init/storage/appSettings.xml"); }
Path PatchPaths::AppSettings() const { return Below("/var/opt/brevantis/tarn/private/storage/appSettings.xml"); }
Path PatchPaths::PrepareModuleScript() const { return Below("/opt/brevantis/tarn/libexec/prepare_module.sh"); }
Path PatchPaths::WdServer() const { return Below("/opt/brevantis/tarn/libexec/wdserver"); }
Path PatchPaths::MainExecutable() const { return Below("/opt/brevantis/tarn/libexec/tarn"); }
Path PatchPaths::Starter() const { return Below("/opt/brevantis/tarn/libexec/tarn-starter"); }
Path PatchPaths::IntegrityChecker() const { return Below("/opt/brevantis/tarn/bin/integrity_checker"); }
Path PatchPaths::IntegrityCheckXml() const { return Below("/opt/brevantis/tarn/bin/integrity_check.xml"); }
Path PatchPaths::GuiIntegrityCheckXml() const { return Below("/opt/brevantis/tarn/bin/gui_integrity_check.xml"); }
Path PatchPaths::Setup() const { return Below("/opt/brevantis/tarn/bin/setup"); }
Path PatchPaths::Launcher() const { return Below("/opt/brevantis/tarn/libexec/launcher"); }
Path PatchPaths::EventsDb() const { return Below("/var/opt/brevantis/tarn/private/storage/events.db"); }
Path PatchPaths::UpgradeDate() const { return Below("/var/opt/brevantis/tarn/private/upgrade_date.txt"); }
Path PatchPaths::CertManager() const { return Below("/opt/brevantis/tarn/libexec/cert-manager"); }
Path PatchPaths::Response() const { return Below("/opt/brevantis/tarn/bin/response"); }
Path PatchPaths::Gui() const { return Below("/opt/brevantis/tarn/libexec/tarn-gui"); }
Path PatchPaths::ExportedSettings() const { return Below("/var/opt/brevantis/tarn/private/exported_settings.ini"); }
Path PatchPaths::SymlinksScript() const { return Below("/opt/brevantis/tarn/libexec/symlinks"); }
Path PatchPaths::Control() const { return Below("/opt/brevantis/tarn/bin/tarn-control"); }
Path PatchPaths::SelinuxPolicySource() const {
  return Below("/opt/brevantis/tarn/shared/selinux/") / (boost::format("%1%.te") % productName_).str();
}
// clang-format on

}  // namespace sov::supervisor
