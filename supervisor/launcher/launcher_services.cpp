// Launcher services shared by the commands. Each is a thin entry point over the component
// that does the work, so that the commands reach all of them through the Launcher.
#include "supervisor/common/exceptions.h"
#include "supervisor/common/process/cmd.h"
#include "supervisor/common/system/install_scripts.h"
#include "supervisor/common/system/localization.h"
#include "supervisor/common/upgrade/upgrade_state_store.h"
#include "supervisor/launcher/launcher.h"

#include <boost/format.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/throw_exception.hpp>

#include <fstream>
#include <stdexcept>

namespace sov::supervisor {

const std::vector<std::string>& Launcher::GroupNames() {
  static const std::vector<std::string> groups = {"tarnadmin", "tarnuser", "tarnaudit", "notarn"};
  return groups;
}

void Launcher::DaemonReload() const {
  CmdObject(Tracer().get()).SetArgs("systemctl", "daemon-reload")().Check();
}

bool Launcher::IsFanotifyOn(const boost::property_tree::ptree& ini) const {
  // The whole value is one of "true", "yes" and "1": compared rather than matched with a
  // regular expression, whose first use would cost every start more than the rest of it.
  const auto value = ini.get<std::string>("General.UseFanotify", "no");
  const bool fanotify = value == "true" || value == "yes" || value == "1";
  Trace(kTraceDebug, "IsFanotifyOn", fanotify ? "Fanotify is ON" : "Fanotify is OFF");
  return fanotify;
}

void Launcher::SetLocalization(const PatchPaths& patch) const {
  sov::supervisor::SetLocalization(*this, patch);
}

Path Launcher::SendEvent(EventName name, const std::vector<std::string>& arguments) const {
  return EventSender(Tracer(), ProductPaths(Tracer()).OfflineEventsDir()).Send(name, arguments);
}

void Launcher::RunInstallScript(const ProductPaths& product, const PatchPaths& patch) const {
  InstallScripts(Tracer()).RunInstall(product, patch);
}

void Launcher::RunUninstallScript(const ProductPaths& product, const PatchPaths& patch) const {
  InstallScripts(Tracer()).RunUninstall(product, patch);
}

Service Launcher::MakeService(const ProductPaths& product) const {
  return Service(Tracer(), product.ProductName());
}

Version Launcher::GetPatchVersion(const PatchPaths& patch) const {
  boost::property_tree::ptree manifest;
  ReadIni(patch.Manifest(), manifest);
  const auto text = manifest.get<std::string>("ProductVersion");
  const auto parts = SplitVersion(text);
  if (!parts || parts->size() != 4) {
    BOOST_THROW_EXCEPTION(
        PrivateException((boost::format("Wrong version format '%1%'") % text).str()));
  }
  return Version::FromText(text);
}

void Launcher::ReadPatchManifest(const PatchPaths& patch, PatchManifest& manifest) const {
  const Path path = patch.Manifest();
  std::ifstream in(path.string());
  if (!in) {
    BOOST_THROW_EXCEPTION(
        std::logic_error((boost::format("Manifest %1% not found") % path.string()).str()));
  }
  IVO_CHECK(sov::supervisor::ReadPatchManifest(in, manifest),
            "Can't read manifest " + path.string());
}

UpgradeState Launcher::GetUpgradeState() const {
  return UpgradeStateStore(Tracer()).Get(ProductPaths(Tracer()));
}

void Launcher::SetUpgradeState(const ProductPaths& paths,
                               UpgradeState from,
                               UpgradeState to,
                               const Path& patch) const {
  UpgradeStateStore(Tracer()).Set(paths, from, to, patch);
}

}  // namespace sov::supervisor
