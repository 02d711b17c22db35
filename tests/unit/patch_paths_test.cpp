#include "supervisor/common/paths/patch_paths.h"

#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/paths/product_version.h"

#include <gtest/gtest.h>

namespace sov::supervisor {
namespace {

TEST(PatchPathsTest, EveryAccessorBelowTheCurrentLink) {
  const auto patch = ProductPaths(nullptr).Current();
  const std::string root = "/var/opt/brevantis/tarn/install-current";
  EXPECT_EQ(root, patch.Root());
  const struct {
    Path actual;
    const char* expected;
  } cases[] = {
      {patch.Manifest(), "/opt/brevantis/tarn/doc/manifest.ini"},
      {patch.LibexecDir(), "/opt/brevantis/tarn/libexec"},
      {patch.BinDir(), "/opt/brevantis/tarn/bin"},
      {patch.Lib64Dir(), "/opt/brevantis/tarn/lib64"},
      {patch.LibDir(), "/opt/brevantis/tarn/lib64"},
      {patch.SrcDir(), "/opt/brevantis/tarn/src"},
      {patch.DocDir(), "/opt/brevantis/tarn/doc"},
      {patch.SharedDir(), "/opt/brevantis/tarn/shared"},
      {patch.SystemdSleepHookSource(), "/opt/brevantis/tarn/shared/tarn_hook.sh"},
      {patch.PmSleepHookSource(), "/opt/brevantis/tarn/shared/74_tarn_hook.sh"},
      {patch.ResourceDir(), "/opt/brevantis/tarn/resource"},
      {patch.EtcDir(), "/etc/opt/brevantis/tarn"},
      {patch.PrivateDir(), "/var/opt/brevantis/tarn/private"},
      {patch.UpgradePersistentData(),
       "/var/opt/brevantis/tarn/private/for_upgrade_peristent_data.xml"},
      {patch.UpgradeSettings(), "/var/opt/brevantis/tarn/private/for_upgrade_settings.xml"},
      {patch.UpgradeJson(), "/var/opt/brevantis/tarn/private/upgrade.json"},
      {patch.InstallLog(), "/var/opt/brevantis/tarn/private/install.log"},
      {patch.StorageDir(), "/var/opt/brevantis/tarn/private/storage/"},
      {patch.KvdbDir(), "/var/opt/brevantis/tarn/private/storage/kvdb"},
      {patch.SettingsXml(), "/var/opt/brevantis/tarn/private/storage/tarn_settings.xml"},
      {patch.DisableReloadConnectorsFlag(),
       "/var/opt/brevantis/tarn/private/disable_reload_connectors"},
      {patch.InitStorageDir(), "/opt/brevantis/tarn/shared/init/storage/"},
      {patch.InitUpdatesDir(), "/opt/brevantis/tarn/shared/init/updates/"},
      {patch.InitIni(), "/opt/brevantis/tarn/shared/init/tarn.ini"},
      {patch.InitAgreementsIni(), "/opt/brevantis/tarn/shared/init/agreements.ini"},
      {patch.UpdatesDir(), "/var/opt/brevantis/tarn/private/updates"},
      {patch.AvBasesDir(), "/var/opt/brevantis/tarn/private/updates/avbases"},
      {patch.UpdatableModulesDir(), "/opt/brevantis/tarn/lib64/updatable_modules"},
      {patch.InitUpdatesDataDir(), "/opt/brevantis/tarn/shared/init/updates/data/data/"},
      {patch.UpdatesDataDir(), "/var/opt/brevantis/tarn/private/updates/data/data/"},
      {patch.InitAvBasesDir(), "/opt/brevantis/tarn/shared/init/updates/avbases/"},
      {patch.LocDir(), "/opt/brevantis/tarn/shared/loc/"},
      {patch.SystemdUnitSource(), "/opt/brevantis/tarn/shared/tarn.service"},
      {patch.InitScript(), "/etc/init.d/tarn"},
      {patch.InitScriptSource(), "/opt/brevantis/tarn/shared/tarn"},
      {patch.InitAppSettings(), "/opt/brevantis/tarn/shared/init/storage/appSettings.xml"},
      {patch.AppSettings(), "/var/opt/brevantis/tarn/private/storage/appSettings.xml"},
      {patch.PrepareModuleScript(), "/opt/brevantis/tarn/libexec/prepare_module.sh"},
      {patch.WdServer(), "/opt/brevantis/tarn/libexec/wdserver"},
      {patch.MainExecutable(), "/opt/brevantis/tarn/libexec/tarn"},
      {patch.Starter(), "/opt/brevantis/tarn/libexec/tarn-starter"},
      {patch.IntegrityChecker(), "/opt/brevantis/tarn/bin/integrity_checker"},
      {patch.IntegrityCheckXml(), "/opt/brevantis/tarn/bin/integrity_check.xml"},
      {patch.GuiIntegrityCheckXml(), "/opt/brevantis/tarn/bin/gui_integrity_check.xml"},
      {patch.Setup(), "/opt/brevantis/tarn/bin/setup"},
      {patch.Launcher(), "/opt/brevantis/tarn/libexec/launcher"},
      {patch.EventsDb(), "/var/opt/brevantis/tarn/private/storage/events.db"},
      {patch.UpgradeDate(), "/var/opt/brevantis/tarn/private/upgrade_date.txt"},
      {patch.CertManager(), "/opt/brevantis/tarn/libexec/cert-manager"},
      {patch.Response(), "/opt/brevantis/tarn/bin/response"},
      {patch.Gui(), "/opt/brevantis/tarn/libexec/tarn-gui"},
      {patch.ExportedSettings(), "/var/opt/brevantis/tarn/private/exported_settings.ini"},
      {patch.SymlinksScript(), "/opt/brevantis/tarn/libexec/symlinks"},
      {patch.Control(), "/opt/brevantis/tarn/bin/tarn-control"},
      {patch.SelinuxPolicySource(), "/opt/brevantis/tarn/shared/selinux/tarn.te"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(root + c.expected, c.actual.string());
  }
}

TEST(PatchPathsTest, AnotherProductNameReplacesEveryOccurrence) {
  const auto patch = ProductPaths(nullptr, "kx").Previous();
  EXPECT_EQ("/var/opt/brevantis/kx/install-previous", patch.Root());
  EXPECT_EQ("/var/opt/brevantis/kx/install-previous/opt/brevantis/kx/shared/kx",
            patch.InitScriptSource().string());
  EXPECT_EQ("/var/opt/brevantis/kx/install-previous/opt/brevantis/kx/shared/selinux/kx.te",
            patch.SelinuxPolicySource().string());
  EXPECT_EQ("ab-ababx", ExpandPathTemplate("tarn-tarntarnx", "ab"));
  EXPECT_EQ("x/y/x", ExpandPathTemplate("tarn/y/tarn", "x"));
}

TEST(PatchPathsTest, DefaultIsEmptyAndNewPatchIsNamedAfterTheBuildVersion) {
  EXPECT_EQ("", PatchPaths().Root());
  EXPECT_EQ(std::string("/var/opt/brevantis/tarn/") + BuildProductVersion() + "_x",
            ProductPaths(nullptr).Patch("x").Root());
  EXPECT_EQ("/var/opt/brevantis/tarn/install-failed", ProductPaths(nullptr).Failed().Root());
  EXPECT_EQ("/var/opt/brevantis/tarn/install-upgrade", ProductPaths(nullptr).Upgrade().Root());
}

}  // namespace
}  // namespace sov::supervisor
