// The launcher application: opens the trace file, parses the command line and creates
// the one command that this process runs. It also offers the services that several
// commands share (groups, service manager reload, localization, events, install scripts,
// patch versions and the upgrade state).
#pragma once

#include "supervisor/common/application.h"
#include "supervisor/common/log_copy.h"
#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/system/event_sender.h"
#include "supervisor/common/system/service.h"
#include "supervisor/common/upgrade/patch_manifest.h"
#include "supervisor/common/upgrade/upgrade_state.h"
#include "supervisor/common/upgrade/version.h"

#include <boost/property_tree/ptree_fwd.hpp>

#include <string>
#include <vector>

namespace sov::supervisor {

class Launcher : public Application {
 public:
  // Opens the trace file "/var/log/brevantis/tarn/tarn_launcher.log", creating its
  // directory when needed. When the directory cannot be created a warning is printed and
  // the launcher runs without traces; when the file cannot be opened (a symbolic link or
  // anything but a regular file at its name included) the constructor throws "Can't open
  // trace file <path>".
  Launcher();

  // Traces the exception like Application does, then rethrows it for main to report.
  int OnException(const std::exception_ptr& error) override;
  CommandCall CreateCommand(const Arguments& args) override;

  // The product's user groups, in the order they are created and deleted.
  static const std::vector<std::string>& GroupNames();
  // "systemctl daemon-reload"; a failed run throws the runner's error.
  void DaemonReload() const;
  // Whether "General.UseFanotify" (default "no") is exactly "true", "yes" or "1".
  bool IsFanotifyOn(const boost::property_tree::ptree& ini) const;
  // Process locale from LANG and the patch's message catalogue; never throws.
  void SetLocalization(const PatchPaths& patch) const;
  // Writes a product event (see EventSender) into the product's offline events directory.
  Path SendEvent(EventName name, const std::vector<std::string>& arguments = {}) const;
  void RunInstallScript(const ProductPaths& product, const PatchPaths& patch) const;
  void RunUninstallScript(const ProductPaths& product, const PatchPaths& patch) const;
  // The product's service (named after the product) in the form of this init system.
  Service MakeService(const ProductPaths& product) const;

  // The "ProductVersion" of the patch's manifest. Throws the INI parser's error for a
  // missing or malformed manifest, the property tree's error when the key is absent, and
  // PrivateException "Wrong version format '<text>'" for anything but four dotted numbers.
  Version GetPatchVersion(const PatchPaths& patch) const;
  // The whole manifest. Throws std::logic_error "Manifest <path> not found" and
  // ivo::ResultError "Can't read manifest <path>".
  void ReadPatchManifest(const PatchPaths& patch, PatchManifest& manifest) const;

  // The upgrade state of the built-in product, and its transitions (UpgradeStateStore).
  UpgradeState GetUpgradeState() const;
  void SetUpgradeState(const ProductPaths& paths,
                       UpgradeState from,
                       UpgradeState to,
                       const Path& patch) const;

 private:
  void OpenTrace();

  LogCopy logCopy_;
};

}  // namespace sov::supervisor
