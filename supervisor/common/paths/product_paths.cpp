// Product path accessors and the systemd unit directory lookup.
#include "supervisor/common/paths/product_paths.h"

#include "sov_common/init_system.h"
#include "supervisor/common/paths/product_version.h"
#include "supervisor/common/process/cmd.h"

#include <boost/format.hpp>
#include <boost/regex.hpp>
#include <boost/throw_exception.hpp>

#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace sov::supervisor {
namespace {

Path FindSystemdUnits(ivo::ITracer* tracer) {
  if (!IsSystemd()) {
    BOOST_THROW_EXCEPTION(std::logic_error("Not supported"));
  }
  std::ostringstream output;
  CmdObject(tracer)
      .SetArgs("systemctl", "show", "-p", "FragmentPath", "multi-user.target")
      .SetOutput(ivo::ITracer::kDebug, output)()
      .Check();
  static const boost::regex fragmentPath("FragmentPath=(.*)");
  boost::smatch match;
  const std::string text = output.str();
  if (!boost::regex_search(text, match, fragmentPath)) {
    BOOST_THROW_EXCEPTION(std::runtime_error(
        "There is unsupported OS or configuration. Let's provide 'FragmentPath' property for "
        "'multi-user.target'"));
  }
  return Path(match[1].str()).parent_path();
}

}  // namespace

ProductPaths::ProductPaths(ivo::TracerPtr tracer, std::string productName)
    : tracer_(std::move(tracer)), productName_(std::move(productName)) {}

Path ProductPaths::At(std::string_view pathTemplate) const {
  return ExpandPathTemplate(pathTemplate, productName_);
}

Path ProductPaths::DirAt(std::string_view pathTemplate) const {
  std::string path = ExpandPathTemplate(pathTemplate, productName_);
  if (!path.empty() && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

PatchPaths ProductPaths::PatchAt(std::string_view rootTemplate) const {
  return PatchPaths(tracer_, ExpandPathTemplate(rootTemplate, productName_), productName_);
}

// clang-format off
Path ProductPaths::UpgradeIni() const { return At("/var/opt/brevantis/tarn/upgrade.ini"); }
Path ProductPaths::CommonDir() const { return At("/var/opt/brevantis/tarn/common/"); }
Path ProductPaths::Ini() const { return At("/var/opt/brevantis/tarn/common/tarn.ini"); }
Path ProductPaths::AgreementsIni() const { return At("/var/opt/brevantis/tarn/common/agreements.ini"); }
Path ProductPaths::Pcid() const { return At("/var/opt/brevantis/tarn/common/pcid"); }
Path ProductPaths::CommonUpdatesDataDir() const { return At("/var/opt/brevantis/tarn/common/updates/data/data/"); }
Path ProductPaths::InstallDate() const { return At("/var/opt/brevantis/tarn/common/install_date.txt"); }
Path ProductPaths::SystemdUnit() const { return Path("/") / "etc" / "systemd" / "system" / At("tarn.service"); }
Path ProductPaths::SystemdUnitFile() const { return SystemdUnits() / At("tarn.service"); }
Path ProductPaths::InitScript() const { return At("/etc/init.d/tarn"); }
Path ProductPaths::PrepareModuleLog() const { return At("/var/log/brevantis/tarn/prepare_module.log"); }
Path ProductPaths::OfflineEventsDir() const { return At("/var/opt/brevantis/tarn/common/offline-events/"); }
Path ProductPaths::LauncherLock() const { return At("/var/opt/brevantis/tarn/launcher.lock"); }
Path ProductPaths::LauncherLog() const { return At("/var/log/brevantis/tarn/tarn_launcher.log"); }
Path ProductPaths::WdServerLog() const { return At("/var/log/brevantis/tarn/tarn_wdserver.log"); }
Path ProductPaths::SetupScript() const { return At("/opt/brevantis/tarn/bin/tarn-setup.pl"); }
Path ProductPaths::InstallDir() const { return At("/var/opt/brevantis/tarn/install_" + std::string(BuildProductVersion()) + "/"); }
Path ProductPaths::VarDir() const { return At("/var/opt/brevantis/tarn/"); }
Path ProductPaths::LogDir() const { return At("/var/log/brevantis/tarn/"); }
Path ProductPaths::ControlLink() const { return Path("/usr/bin") / At("tarn-control"); }
Path ProductPaths::ResponseLink() const { return Path("/usr/bin") / "response"; }
Path ProductPaths::SystemdSleepHook() const { return Path("/lib/systemd/system-sleep/") / At("tarn_hook.sh"); }
Path ProductPaths::PmSleepHook() const { return Path("/etc/pm/sleep.d/") / At("74_tarn_hook.sh"); }
Path ProductPaths::TempDir() const { return DirAt("/var/opt/brevantis/tarn/common/temp/"); }
Path ProductPaths::PrivateDir() const { return DirAt("/var/opt/brevantis/tarn/private/"); }
Path ProductPaths::CommonUpdatesDir() const { return DirAt("/var/opt/brevantis/tarn/common/updates/"); }
Path ProductPaths::OptDir() const { return DirAt("/opt/brevantis/tarn/"); }
Path ProductPaths::DocDir() const { return DirAt("/opt/brevantis/tarn/doc/"); }
Path ProductPaths::EtcDir() const { return DirAt("/etc/opt/brevantis/tarn/"); }
Path ProductPaths::FanotifyChecker() const { return At("/opt/brevantis/tarn/bin/fanotify-checker"); }

PatchPaths ProductPaths::Current() const { return PatchAt("/var/opt/brevantis/tarn/install-current"); }
PatchPaths ProductPaths::Failed() const { return PatchAt("/var/opt/brevantis/tarn/install-failed"); }
PatchPaths ProductPaths::Previous() const { return PatchAt("/var/opt/brevantis/tarn/install-previous"); }
PatchPaths ProductPaths::Upgrade() const { return PatchAt("/var/opt/brevantis/tarn/install-upgrade"); }
// clang-format on

PatchPaths ProductPaths::Patch(const std::string& tag) const {
  const Path root = VarDir() / (boost::format("%1%_%2%") % BuildProductVersion() % tag).str();
  return PatchPaths(tracer_, root.string(), productName_);
}

PatchPaths ProductPaths::PatchRootedAt(const Path& root) const {
  return PatchPaths(tracer_, root.string(), productName_);
}

Path ProductPaths::SystemdUnits() const {
  // Kept after the first success only; a failed attempt is tried again on the next call.
  static std::mutex guard;
  static std::optional<Path> units;
  const std::lock_guard<std::mutex> lock(guard);
  if (!units) {
    units = FindSystemdUnits(tracer_.get());
  }
  return *units;
}

}  // namespace sov::supervisor
