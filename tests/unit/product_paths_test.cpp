#include "supervisor/common/paths/product_paths.h"

#include "supervisor/common/paths/product_version.h"
#include "supervisor/common/paths/system_paths.h"
#include "tests/unit/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <stdexcept>

namespace sov::supervisor {
namespace {

using ::testing::ElementsAre;

TEST(ProductPathsTest, EveryAccessorOfTheBuiltInProduct) {
  const ProductPaths paths(nullptr);
  const std::string version = BuildProductVersion();
  const struct {
    Path actual;
    std::string expected;
  } cases[] = {
      {paths.UpgradeIni(), "/var/opt/brevantis/tarn/upgrade.ini"},
      {paths.CommonDir(), "/var/opt/brevantis/tarn/common/"},
      {paths.Ini(), "/var/opt/brevantis/tarn/common/tarn.ini"},
      {paths.AgreementsIni(), "/var/opt/brevantis/tarn/common/agreements.ini"},
      {paths.Pcid(), "/var/opt/brevantis/tarn/common/pcid"},
      {paths.CommonUpdatesDataDir(), "/var/opt/brevantis/tarn/common/updates/data/data/"},
      {paths.InstallDate(), "/var/opt/brevantis/tarn/common/install_date.txt"},
      {paths.SystemdUnit(), "/etc/systemd/system/tarn.service"},
      {paths.InitScript(), "/etc/init.d/tarn"},
      {paths.PrepareModuleLog(), "/var/log/brevantis/tarn/prepare_module.log"},
      {paths.OfflineEventsDir(), "/var/opt/brevantis/tarn/common/offline-events/"},
      {paths.LauncherLock(), "/var/opt/brevantis/tarn/launcher.lock"},
      {paths.LauncherLog(), "/var/log/brevantis/tarn/tarn_launcher.log"},
      {paths.WdServerLog(), "/var/log/brevantis/tarn/tarn_wdserver.log"},
      {paths.SetupScript(), "/opt/brevantis/tarn/bin/tarn-setup.pl"},
      {paths.InstallDir(), "/var/opt/brevantis/tarn/install_" + version + "/"},
      {paths.VarDir(), "/var/opt/brevantis/tarn/"},
      {paths.LogDir(), "/var/log/brevantis/tarn/"},
      {paths.ControlLink(), "/usr/bin/tarn-control"},
      {paths.ResponseLink(), "/usr/bin/response"},
      {paths.SystemdSleepHook(), "/lib/systemd/system-sleep/tarn_hook.sh"},
      {paths.PmSleepHook(), "/etc/pm/sleep.d/74_tarn_hook.sh"},
      {paths.TempDir(), "/var/opt/brevantis/tarn/common/temp"},
      {paths.PrivateDir(), "/var/opt/brevantis/tarn/private"},
      {paths.CommonUpdatesDir(), "/var/opt/brevantis/tarn/common/updates"},
      {paths.OptDir(), "/opt/brevantis/tarn"},
      {paths.DocDir(), "/opt/brevantis/tarn/doc"},
      {paths.EtcDir(), "/etc/opt/brevantis/tarn"},
      {paths.FanotifyChecker(), "/opt/brevantis/tarn/bin/fanotify-checker"},
      {WdServerPid(), "/var/run/wdserver.pid"},
      {WdServerSocket(), "/var/run/wdserver.sock"},
      {NagentPid(), "/var/run/qvnagent.pid"},
      {SystemdSleepDir(), "/lib/systemd/system-sleep/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(c.expected, c.actual.string());
  }
  utsname names{};
  uname(&names);
  EXPECT_EQ(std::string("/lib/modules/") + names.release + "/misc", KernelModulesDir().string());
}

// The unit directory is kept for the process after the first success, so the whole story
// is told in one test: a failure first, then success, then no further systemctl run.
TEST(ProductPathsTest, SystemdUnitsAsksSystemctlOnceAfterSuccess) {
  auto tracer = testing::MakeRecordingTracer();
  const ProductPaths paths(tracer);
  if (std::string(std::getenv("LAUNCHER_SANDBOX_INIT")) != "systemd") {
    try {
      paths.SystemdUnits();
      FAIL() << "no exception";
    } catch (const std::logic_error& error) {
      EXPECT_STREQ("Not supported", error.what());
    }
    return;
  }
  testing::ClearRecordedCalls();
  testing::SetStandinAnswer("systemctl", "echo Id=multi-user.target\n");
  try {
    paths.SystemdUnits();
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(
        "There is unsupported OS or configuration. Let's provide 'FragmentPath' property for "
        "'multi-user.target'",
        error.what());
  }
  testing::SetStandinAnswer("systemctl",
                            "echo FragmentPath=/usr/lib/systemd/system/multi-user.target\n");
  EXPECT_EQ("/usr/lib/systemd/system", paths.SystemdUnits().string());
  EXPECT_EQ("/usr/lib/systemd/system/tarn.service", paths.SystemdUnitFile().string());
  EXPECT_EQ("/usr/lib/systemd/system", ProductPaths(nullptr).SystemdUnits().string());
  testing::ClearStandinAnswer("systemctl");
  EXPECT_THAT(testing::RecordedCalls(),
              ElementsAre("systemctl show -p FragmentPath multi-user.target",
                          "systemctl show -p FragmentPath multi-user.target"));
}

}  // namespace
}  // namespace sov::supervisor
