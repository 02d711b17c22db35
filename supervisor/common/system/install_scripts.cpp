// Install and uninstall of a patch's system links. The sleep hooks are linked only where
// the system has the hook directory: systemd's for systemd, pm-utils' otherwise.
#include "supervisor/common/system/install_scripts.h"

#include "supervisor/common/paths/system_paths.h"
#include "supervisor/common/process/cmd.h"

#include <boost/filesystem/operations.hpp>

namespace sov::supervisor {
namespace fs = boost::filesystem;

std::vector<InstallScripts::Link> InstallScripts::PredefinedLinks(
    const ProductPaths& product) const {
  const PatchPaths current = product.Current();
  std::vector<Link> links = {{product.ControlLink(), current.Control()},
                             {product.ResponseLink(), current.Response()}};
  if (fs::is_directory(SystemdSleepDir())) {
    links.push_back({product.SystemdSleepHook(), current.SystemdSleepHookSource()});
  }
  if (fs::is_directory(PmSleepDir())) {
    links.push_back({product.PmSleepHook(), current.PmSleepHookSource()});
  }
  return links;
}

void InstallScripts::RunInstall(const ProductPaths& product, const PatchPaths& patch) const {
  Trace(kTraceDebug, "RunInstallScript", "Creating predefined symlinks ...");
  for (const auto& [link, target] : PredefinedLinks(product)) {
    CreateOrReplaceSymlink(link, target);
  }
  RunScript(patch, "install");
}

void InstallScripts::RunUninstall(const ProductPaths& product, const PatchPaths& patch) const {
  Trace(kTraceDebug, "RunUninstallScript", "Removing predefined symlinks ...");
  for (const auto& link : PredefinedLinks(product)) {
    RemoveSymlink(link.link);
  }
  Trace(kTraceDebug, "RunUninstallScript", "Removing symlinks defined in ", patch.SymlinksScript());
  RunScript(patch, "uninstall");
}

void InstallScripts::RunScript(const PatchPaths& patch, const char* action) const {
  const Path script = patch.SymlinksScript();
  if (!fs::exists(script)) {
    Trace(kTraceDebug, "RunScript", script, " not found. Nothing to ", action);
    return;
  }
  CmdObject(Tracer().get()).SetArgs(script.c_str(), action, patch.Root().c_str())().Check();
}

}  // namespace sov::supervisor
