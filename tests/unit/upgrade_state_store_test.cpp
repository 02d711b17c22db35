#include "supervisor/common/upgrade/upgrade_state_store.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <system_error>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using S = UpgradeState;

// Lays the four links of the product's variable directory, each pointing at one of the
// patch directories A, B and N (the new one).
class UpgradeStateTest : public ::testing::Test {
 protected:
  const Path var_ = "/var/opt/brevantis/tarn";
  const Path patchA_ = var_ / "12.4.0.1_a";
  const Path patchB_ = var_ / "12.6.0.118_b";
  const Path patchN_ = var_ / "12.6.0.118_n";

  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    for (const auto& patch : {patchA_, patchB_, patchN_}) {
      testing::WriteFile(patch / "opt/brevantis/tarn/libexec/launcher", "binary");
    }
  }
  void TearDown() override {
    for (auto& entry : fs::directory_iterator(var_)) {
      fs::remove_all(entry.path());
    }
  }

  // "current=A upgrade=B" and so on; "ini" creates upgrade.ini.
  void Lay(const std::map<std::string, Path>& links, bool upgradeIni = false) {
    for (const auto& [name, target] : links) {
      fs::create_symlink(target, var_ / ("install-" + name));
    }
    if (upgradeIni) {
      testing::WriteFile(var_ / "upgrade.ini", "[Upgrade]\n");
    }
  }
  std::string Target(const std::string& name) const {
    const Path link = var_ / ("install-" + name);
    return fs::is_symlink(fs::symlink_status(link)) ? fs::read_symlink(link).string() : "-";
  }
  std::string Links() const {
    return "current=" + Target("current") + " upgrade=" + Target("upgrade") +
           " previous=" + Target("previous") + " failed=" + Target("failed");
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  UpgradeStateStore store_{tracer_};
  ProductPaths paths_{nullptr};
};

TEST_F(UpgradeStateTest, DecodingFollowsTheLinks) {
  const struct {
    std::map<std::string, Path> links;
    bool upgradeIni;
    UpgradeState expected;
  } cases[] = {
      {{}, false, S::NotInstalled},
      {{}, true, S::NotInstalled},
      {{{"upgrade", patchB_}}, false, S::NotInstalled},
      {{{"current", patchA_}}, false, S::Installed},
      {{{"current", patchA_}, {"upgrade", patchB_}, {"previous", patchA_}, {"failed", patchB_}},
       true,
       S::UpgradeWithRenaming},
      {{{"current", patchA_}, {"upgrade", patchB_}}, false, S::PackageReconfigured},
      {{{"current", patchA_}, {"upgrade", patchB_}, {"previous", patchA_}}, false, S::Upgrade},
      {{{"current", patchB_}, {"previous", patchA_}}, false, S::Start},
      {{{"current", patchA_}, {"failed", patchB_}}, false, S::RollingBack},
      {{{"current", patchA_}, {"failed", patchB_}, {"upgrade", patchB_}}, false, S::RolledBack},
      {{{"current", patchA_}, {"failed", patchB_}, {"previous", patchA_}}, false, S::UpgradeFailed},
      {{{"current", patchB_}, {"failed", patchB_}, {"previous", patchA_}}, false, S::StartFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToString(c.expected) + " from " + std::to_string(c.links.size()) + " links");
    Lay(c.links, c.upgradeIni);
    tracer_->Clear();
    EXPECT_EQ(c.expected, store_.Get(paths_));
    EXPECT_THAT(
        tracer_->Texts(),
        ::testing::ElementsAre("GetUpgradeState: Current upgrade state: " + ToString(c.expected)));
    TearDown();
  }
}

TEST_F(UpgradeStateTest, CurrentAsARealDirectoryIsNotInstalled) {
  fs::create_directories(var_ / "install-current");
  EXPECT_EQ(S::NotInstalled, store_.Get(paths_));
}

TEST_F(UpgradeStateTest, EveryAllowedTransitionMovesTheLinks) {
  const std::string a = patchA_.string();
  const std::string b = patchB_.string();
  const std::string n = patchN_.string();
  const struct {
    std::map<std::string, Path> before;
    UpgradeState from;
    UpgradeState to;
    std::string after;
  } cases[] = {
      {{}, S::NotInstalled, S::Installed, "current=" + n + " upgrade=- previous=- failed=-"},
      {{{"current", patchA_}},
       S::Installed,
       S::PackageReconfigured,
       "current=" + a + " upgrade=" + n + " previous=- failed=-"},
      {{{"current", patchA_}, {"upgrade", patchB_}},
       S::Installed,
       S::PackageReconfigured,
       "current=" + a + " upgrade=" + n + " previous=- failed=-"},
      {{{"current", patchA_}, {"upgrade", patchB_}},
       S::PackageReconfigured,
       S::Upgrade,
       "current=" + a + " upgrade=" + b + " previous=" + a + " failed=-"},
      {{{"current", patchA_}, {"upgrade", patchB_}, {"previous", patchA_}},
       S::Upgrade,
       S::Start,
       "current=" + b + " upgrade=- previous=" + a + " failed=-"},
      {{{"current", patchB_}, {"previous", patchA_}},
       S::Start,
       S::Installed,
       "current=" + b + " upgrade=- previous=- failed=-"},
      {{{"current", patchB_}, {"previous", patchA_}},
       S::Start,
       S::StartFailed,
       "current=" + b + " upgrade=- previous=" + a + " failed=" + b},
      {{{"current", patchB_}, {"previous", patchA_}, {"failed", patchB_}},
       S::StartFailed,
       S::RollingBack,
       "current=" + a + " upgrade=- previous=- failed=" + b},
      {{{"current", patchA_}, {"failed", patchB_}},
       S::RollingBack,
       S::RolledBack,
       "current=" + a + " upgrade=" + b + " previous=- failed=" + b},
      {{{"current", patchA_}, {"failed", patchB_}, {"upgrade", patchB_}},
       S::RolledBack,
       S::PackageReconfigured,
       "current=" + a + " upgrade=" + n + " previous=- failed=-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToString(c.from) + " -> " + ToString(c.to));
    Lay(c.before);
    SetUp();
    store_.Set(paths_, c.from, c.to, patchN_);
    EXPECT_EQ(c.after, Links());
    EXPECT_EQ(c.to, store_.Get(paths_));
    TearDown();
  }
}

TEST_F(UpgradeStateTest, RemovedPatchesLoseTheirTreesAndTheTraceTellsTheStory) {
  Lay({{"current", patchB_}, {"previous", patchA_}});
  store_.Set(paths_, S::Start, S::Installed, {});
  EXPECT_FALSE(fs::exists(patchA_));
  EXPECT_TRUE(fs::exists(patchB_));
  const std::string previous = (var_ / "install-previous").string();
  EXPECT_FALSE(fs::exists(fs::symlink_status(previous + ".removing")));
  EXPECT_THAT(
      tracer_->Texts(),
      ::testing::ElementsAre("SetUpgradeState: Changing upgrade state Start -> Installed ...",
                             "Rename: Renamed " + previous + " -> " + previous + ".removing",
                             "RemoveAllNoThrow: " + patchA_.string() + " removed",
                             "Remove: " + previous + ".removing removed",
                             "SetUpgradeState: Upgrade state changed Start -> Installed"));

  TearDown();
  SetUp();
  Lay({{"current", patchA_}, {"failed", patchB_}, {"upgrade", patchB_}});
  store_.Set(paths_, S::RolledBack, S::PackageReconfigured, patchN_);
  EXPECT_FALSE(fs::exists(patchB_));
  EXPECT_TRUE(fs::exists(patchA_));
  EXPECT_TRUE(fs::exists(patchN_));
}

// A run killed while it removed a patch leaves the renamed link, with all, part or none of
// the tree; the next use of the store finishes the job and never takes a patch in use.
TEST_F(UpgradeStateTest, AnInterruptedRemovalIsCompleted) {
  const Path previousPending = var_ / "install-previous.removing";
  const Path failedPending = var_ / "install-failed.removing";
  const auto partly = [&] { fs::remove_all(patchA_ / "opt/brevantis/tarn/libexec"); };
  const auto none = [&] { fs::remove_all(patchA_); };
  const struct {
    const char* why;
    Path pending;
    Path target;
    std::function<void()> interrupted;
    Path keep;
    bool kept;
  } cases[] = {
      {"killed after the rename", previousPending, patchA_, [] {}, {}, false},
      {"killed inside the tree", previousPending, patchA_, partly, {}, false},
      {"killed after the tree went", previousPending, patchA_, none, {}, false},
      {"after a rollback", failedPending, patchA_, [] {}, {}, false},
      {"the tree is the current patch", previousPending, patchB_, [] {}, {}, true},
      {"the tree is the new patch", failedPending, patchN_, [] {}, patchN_, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    Lay({{"current", patchB_}});
    fs::create_symlink(c.target, c.pending);
    c.interrupted();
    store_.CompletePendingRemovals(paths_, c.keep);
    EXPECT_FALSE(fs::exists(fs::symlink_status(c.pending)));
    EXPECT_EQ(c.kept, fs::exists(c.target));
    EXPECT_TRUE(fs::exists(patchB_ / "opt/brevantis/tarn/libexec/launcher"));
    EXPECT_EQ(S::Installed, store_.Get(paths_));
    TearDown();
    SetUp();
  }

  // Anything else at a pending name is not this store's to remove.
  Lay({{"current", patchB_}});
  testing::WriteFile(previousPending / "data", "kept");
  store_.CompletePendingRemovals(paths_);
  EXPECT_EQ("kept", testing::ReadFile(previousPending / "data"));
}

// A tree that cannot go in full (here a mount inside it) keeps its pending link, so the
// next run tries again instead of leaving a tree that nothing names.
TEST_F(UpgradeStateTest, ATreeThatCannotGoKeepsItsPendingLink) {
  const Path mountPoint = patchA_ / "mnt";
  fs::create_directories(mountPoint);
  if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, nullptr) != 0) {
    GTEST_SKIP() << "can't mount here: " << std::strerror(errno);
  }
  const Path pending = var_ / "install-previous.removing";
  Lay({{"current", patchB_}, {"previous", patchA_}});
  store_.Set(paths_, S::Start, S::Installed, {});
  EXPECT_EQ(S::Installed, store_.Get(paths_));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(pending)));
  EXPECT_THAT(tracer_->TextsAt(kTraceError),
              ::testing::ElementsAre("RemoveAllNoThrow: Can't remove " + patchA_.string() +
                                     ". Reason: Device or resource busy"));

  ASSERT_EQ(0, umount(mountPoint.c_str()));
  store_.CompletePendingRemovals(paths_);
  EXPECT_FALSE(fs::exists(fs::symlink_status(pending)));
  EXPECT_FALSE(fs::exists(patchA_));
}

TEST_F(UpgradeStateTest, ATransitionCompletesAPendingRemovalFirst) {
  // The next package, laid beside a failed patch whose removal was cut short.
  Lay({{"current", patchA_}});
  fs::create_symlink(patchB_, var_ / "install-failed.removing");
  store_.Set(paths_, S::Installed, S::PackageReconfigured, patchN_);
  EXPECT_FALSE(fs::exists(patchB_));
  EXPECT_FALSE(fs::exists(fs::symlink_status(var_ / "install-failed.removing")));
  EXPECT_EQ("current=" + patchA_.string() + " upgrade=" + patchN_.string() + " previous=- failed=-",
            Links());
  TearDown();
  SetUp();
  // The same, with the new package laid into the very directory that was to go.
  Lay({{"current", patchA_}});
  fs::create_symlink(patchN_, var_ / "install-failed.removing");
  store_.Set(paths_, S::Installed, S::PackageReconfigured, patchN_);
  EXPECT_TRUE(fs::exists(patchN_ / "opt/brevantis/tarn/libexec/launcher"));
  EXPECT_EQ(S::PackageReconfigured, store_.Get(paths_));
}

TEST_F(UpgradeStateTest, APatchStillInUseIsNeverRemoved) {
  // A reinstall into the same directory: the previous patch is the current one.
  Lay({{"current", patchA_}, {"previous", patchA_}});
  store_.Set(paths_, S::Start, S::Installed, {});
  EXPECT_TRUE(fs::exists(patchA_ / "opt/brevantis/tarn/libexec/launcher"));
  EXPECT_EQ(S::Installed, store_.Get(paths_));
  TearDown();
  SetUp();
  // A new package laid into the directory of the patch that failed before.
  Lay({{"current", patchA_}, {"failed", patchN_}, {"upgrade", patchN_}});
  store_.Set(paths_, S::RolledBack, S::PackageReconfigured, patchN_);
  EXPECT_TRUE(fs::exists(patchN_ / "opt/brevantis/tarn/libexec/launcher"));
  EXPECT_EQ(S::PackageReconfigured, store_.Get(paths_));
}

TEST_F(UpgradeStateTest, ADamagedLinkRemovesNothingButItself) {
  // Current lives inside "nest"; a previous link naming "nest" must not take it along.
  const Path nested = var_ / "nest/12.6.0.118_b";
  testing::WriteFile(nested / "opt/brevantis/tarn/libexec/launcher", "binary");
  testing::TempDir outside;
  const std::string notAPatch =
      " is not a patch directory below /var/opt/brevantis/tarn/. Keep it.";
  const struct {
    Path target;
    std::string warning;
  } cases[] = {
      {"/var/opt/brevantis", "/var/opt/brevantis" + notAPatch},
      {var_, var_.string() + notAPatch},
      {var_ / "common", (var_ / "common").string() + notAPatch},
      {outside.path(), outside.path().string() + notAPatch},
      {var_ / "nest", (var_ / "nest").string() + " holds the patch " + nested.string() +
                          ", which is in use. Keep it."},
  };
  testing::WriteFile(var_ / "common/tarn.ini", "[General]\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target.string());
    Lay({{"current", nested}, {"previous", c.target}});
    tracer_->Clear();
    store_.Set(paths_, S::Start, S::Installed, {});
    EXPECT_EQ(S::Installed, store_.Get(paths_));
    EXPECT_THAT(tracer_->TextsAt(kTraceWarning),
                ::testing::ElementsAre("RemovePatch: " + c.warning));
    EXPECT_TRUE(fs::exists(c.target));
    EXPECT_TRUE(fs::exists(nested / "opt/brevantis/tarn/libexec/launcher"));
    EXPECT_TRUE(fs::exists(var_ / "common/tarn.ini"));
    fs::remove(var_ / "install-current");
  }
}

TEST_F(UpgradeStateTest, ADirectoryWhereAStateLinkBelongsIsNeverDeleted) {
  const Path upgrade = var_ / "install-upgrade";
  const auto expectRefused = [&](const Path& directory, S from) {
    SCOPED_TRACE(directory.string() + " at " + ToString(from));
    testing::WriteFile(directory / "data", "kept");
    try {
      store_.Set(paths_, from, S::PackageReconfigured, patchN_);
      FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(directory.string() + " is a directory, not a link; refusing to replace it",
                std::string(error.what()));
    }
    EXPECT_EQ("kept", testing::ReadFile(directory / "data"));
    fs::remove_all(directory);
  };
  Lay({{"current", patchA_}});
  expectRefused(upgrade, S::Installed);
  Lay({{"failed", patchB_}});
  expectRefused(upgrade, S::RolledBack);
  EXPECT_TRUE(fs::exists(patchB_)) << "the failed patch went before the refusal";
  Lay({{"upgrade", patchB_}});
  expectRefused(var_ / "install-upgrade.tmp", S::RolledBack);

  // An empty directory holds nothing and is replaced.
  fs::remove(upgrade);
  fs::create_directory(upgrade);
  store_.Set(paths_, S::Installed, S::PackageReconfigured, patchN_);
  EXPECT_EQ(patchN_, fs::read_symlink(upgrade));

  // A directory where install-previous belongs is left with a warning.
  fs::create_directories(var_ / "install-previous/data");
  tracer_->Clear();
  store_.Set(paths_, S::Start, S::Installed, {});
  EXPECT_TRUE(fs::exists(var_ / "install-previous/data"));
  EXPECT_THAT(
      tracer_->TextsAt(kTraceWarning),
      ::testing::ElementsAre("RemoveSymlink: Path '" + (var_ / "install-previous").string() +
                             "' not a symlink. Skip it."));
}

TEST_F(UpgradeStateTest, AFileSystemThatCannotBeFlushedStopsTheChange) {
  // The variable directory of another product does not exist: nothing can be flushed.
  const ProductPaths other(nullptr, "other");
  try {
    store_.Set(other, S::NotInstalled, S::Installed, patchN_);
    FAIL() << "no exception";
  } catch (const std::system_error& error) {
    EXPECT_EQ(ENOENT, error.code().value());
    EXPECT_EQ("Can't flush the file system of /var/opt/brevantis/other/: No such file or directory",
              std::string(error.what()));
  }
}

TEST_F(UpgradeStateTest, RefusedTransitionsLeaveTheLinksAlone) {
  const std::pair<UpgradeState, UpgradeState> refused[] = {
      {S::UpgradeFailed, S::Installed},
      {S::UpgradeFailed, S::RollingBack},
      {S::Installed, S::Upgrade},
      {S::NotInstalled, S::PackageReconfigured},
      {S::UpgradeWithRenaming, S::Installed},
      {S::Start, S::RollingBack},
      {S::Installed, S::NotInstalled},
  };
  Lay({{"current", patchA_}, {"upgrade", patchB_}});
  const std::string before = Links();
  for (const auto& [from, to] : refused) {
    SCOPED_TRACE(ToString(from) + " -> " + ToString(to));
    try {
      store_.Set(paths_, from, to, patchN_);
      FAIL() << "no exception";
    } catch (const std::logic_error& error) {
      EXPECT_EQ("Unexpected upgrade state transition " + ToString(from) + " -> " + ToString(to),
                error.what());
    }
    EXPECT_EQ(before, Links());
  }
  EXPECT_TRUE(tracer_->Lines().empty());
}

TEST_F(UpgradeStateTest, SettingAStateToItselfDoesNothing) {
  store_.Set(paths_, S::UpgradeFailed, S::UpgradeFailed, patchN_);
  store_.Set(paths_, S::Installed, S::Installed, patchN_);
  EXPECT_EQ("current=- upgrade=- previous=- failed=-", Links());
  EXPECT_TRUE(tracer_->Lines().empty());
}

TEST_F(UpgradeStateTest, InstallMode) {
  const ProductPaths tarn(nullptr);
  const ProductPaths other(nullptr, "other");
  EXPECT_EQ(InstallMode::Install, GetInstallMode(tarn, tarn));
  EXPECT_EQ(InstallMode::Install, GetInstallMode(tarn, other));
  Lay({{"current", patchA_}});
  EXPECT_EQ(InstallMode::UpgradeWithoutRenaming, GetInstallMode(tarn, tarn));
  EXPECT_EQ(InstallMode::UpgradeWithoutRenaming, GetInstallMode(tarn, other));
  EXPECT_EQ(InstallMode::UpgradeWithRenaming, GetInstallMode(other, tarn));
  EXPECT_EQ("UpgradeWithRenaming", ToString(InstallMode::UpgradeWithRenaming));
  EXPECT_EQ("Installed", ToString(S::Installed));
}

TEST_F(UpgradeStateTest, ALaterPackageSupersedesTheUpgradeWaitingForItsRestart) {
  Lay({{"current", patchA_}, {"upgrade", patchB_}});
  store_.SupersedeUpgrade(paths_, patchN_);
  EXPECT_EQ("current=" + patchA_.string() + " upgrade=" + patchN_.string() + " previous=- failed=-",
            Links());
  EXPECT_EQ(S::PackageReconfigured, store_.Get(paths_));
  EXPECT_FALSE(fs::exists(patchB_)) << "the superseded patch is left behind";
  EXPECT_TRUE(fs::exists(patchA_ / "opt/brevantis/tarn/libexec/launcher"));

  // The same package again (a repeated install) changes nothing and removes nothing.
  tracer_->Clear();
  store_.SupersedeUpgrade(paths_, patchN_);
  EXPECT_TRUE(fs::exists(patchN_ / "opt/brevantis/tarn/libexec/launcher"));
  EXPECT_THAT(tracer_->Texts(),
              ::testing::ElementsAre("SupersedeUpgrade: " + (var_ / "install-upgrade").string() +
                                     " names " + patchN_.string() + " already"));
}

TEST_F(UpgradeStateTest, ARemovalThatAnInterruptedSupersedeLeftIsFinishedByTheNext) {
  // Interrupted after the switch: install-upgrade names N, the marker B.
  Lay({{"current", patchA_}, {"upgrade", patchN_}});
  fs::create_symlink(patchB_, var_ / ".install-superseded");
  store_.SupersedeUpgrade(paths_, patchN_);
  EXPECT_FALSE(fs::exists(patchB_)) << "the superseded patch is left behind";
  EXPECT_FALSE(fs::exists(fs::symlink_status(var_ / ".install-superseded")));
  EXPECT_EQ("current=" + patchA_.string() + " upgrade=" + patchN_.string() + " previous=- failed=-",
            Links());
  // A marker that names the patch being installed again never removes it.
  TearDown();
  SetUp();
  Lay({{"current", patchA_}, {"upgrade", patchB_}});
  fs::create_symlink(patchN_, var_ / ".install-superseded");
  store_.SupersedeUpgrade(paths_, patchN_);
  EXPECT_TRUE(fs::exists(patchN_ / "opt/brevantis/tarn/libexec/launcher"));
  EXPECT_FALSE(fs::exists(patchB_));
  EXPECT_EQ(patchN_, fs::read_symlink(var_ / "install-upgrade"));
}

TEST_F(UpgradeStateTest, ASupersededUpgradeInUseOrOutsideStays) {
  // An upgrade link that named the current patch itself (a reinstall of the installed tag).
  Lay({{"current", patchA_}, {"upgrade", patchA_}});
  store_.SupersedeUpgrade(paths_, patchN_);
  EXPECT_EQ(patchN_, fs::read_symlink(var_ / "install-upgrade"));
  EXPECT_TRUE(fs::exists(patchA_ / "opt/brevantis/tarn/libexec/launcher"));
  TearDown();
  SetUp();
  testing::TempDir outside;
  Lay({{"current", patchA_}, {"upgrade", outside.path()}});
  store_.SupersedeUpgrade(paths_, patchN_);
  EXPECT_TRUE(fs::exists(outside.path()));
  // Only in PackageReconfigured.
  TearDown();
  SetUp();
  Lay({{"current", patchA_}});
  EXPECT_THROW(store_.SupersedeUpgrade(paths_, patchN_), std::logic_error);
  EXPECT_EQ("current=" + patchA_.string() + " upgrade=- previous=- failed=-", Links());
}

}  // namespace
}  // namespace sov::supervisor
