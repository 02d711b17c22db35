#include "supervisor/launcher/start_command.h"

#include "sov_common/init_system.h"
#include "supervisor/common/system/systemd_service.h"
#include "supervisor/launcher/launcher.h"
#include "supervisor/launcher/launcher_arguments.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <functional>
#include <stdexcept>
#include <system_error>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using S = UpgradeState;

class TestLauncher : public Launcher {
 public:
  explicit TestLauncher(ivo::TracerPtr tracer) { SetTracer(std::move(tracer)); }
};

// Thrown where the real command would execute the other patch's launcher.
struct Executed {
  std::string launcher;
};

// The start command with the product's start, the exec and the export replaced, so that a
// test sees which step ran and what the links say afterwards.
class TestStartCommand : public StartCommand {
 public:
  using StartCommand::StartCommand;

  Result StartProduct(Context& context) override {
    starts.push_back(ToString(context.upgradeState));
    return onStart();
  }
  [[noreturn]] void ExecLauncher(Context& context) override {
    throw Executed{context.product.Current().Launcher().string()};
  }
  void ExportPreviousSettings(Context& context) override {
    exports++;
    if (realExport) {
      StartCommand::ExportPreviousSettings(context);
      return;
    }
    testing::WriteFile(context.product.Current().UpgradeSettings(), "<settings/>");
  }

  bool realExport = false;
  std::function<Result()> onStart = [] { return kStarted; };
  std::vector<std::string> starts;
  int exports = 0;
};

// Two complete patches: "a", the installed one, and "b", the new one.
class UpgradeLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    testing::ClearRecordedCalls();
    LayPatch(a_, "12.4.0.1");
    LayPatch(b_, "12.6.0.118");
  }
  void TearDown() override {
    fs::remove_all(var_);
    fs::create_directories(var_);
  }

  // The launcher must be a program of this machine; any small one will do.
  static void LayPatch(const Path& root, const std::string& version) {
    const Path opt = root / "opt/brevantis/tarn";
    testing::WriteFile(opt / "doc/manifest.ini", "ProductVersion=" + version + "\n");
    for (const char* program : {"wdserver", "tarn-starter"}) {
      testing::WriteFile(opt / "libexec" / program, "#!/bin/sh\n", 0755);
    }
    testing::WriteFile(opt / "libexec/launcher", testing::ReadFile("/bin/true"), 0755);
  }
  void Link(const std::string& name, const Path& target) {
    fs::create_symlink(target, var_ / ("install-" + name));
  }
  std::string Links() const {
    std::string links;
    for (const char* name : {"current", "upgrade", "previous", "failed"}) {
      const Path link = var_ / (std::string("install-") + name);
      links += std::string(links.empty() ? "" : " ") + name + "=" +
               (fs::is_symlink(link) ? fs::read_symlink(link).filename().string() : "-");
    }
    return links;
  }
  StartCommand::Context MakeContext(InstallMode mode = InstallMode::UpgradeWithoutRenaming) {
    StartCommand::Context context{ProductPaths(tracer_)};
    context.installMode = mode;
    return context;
  }
  // Runs the loop; the launcher it executed, or "" when the loop returned.
  std::string RunLoop(StartCommand::Context& context, int* result = nullptr) {
    try {
      const int code = command_.UpgradeLoop(context);
      if (result) {
        *result = code;
      }
      return "";
    } catch (const Executed& exec) {
      return exec.launcher;
    }
  }

  const Path var_ = "/var/opt/brevantis/tarn";
  const Path a_ = var_ / "a";
  const Path b_ = var_ / "b";
  const std::string currentLauncher_ =
      "/var/opt/brevantis/tarn/install-current/opt/brevantis/tarn/libexec/launcher";
  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  TestLauncher launcher_{tracer_};
  TestStartCommand command_{
      launcher_, std::make_shared<const LauncherArguments>(std::vector<std::string>{"launcher"})};
};

TEST_F(UpgradeLoopTest, StatesThatStartMustNeverSee) {
  for (const bool failed : {false, true}) {
    SCOPED_TRACE(failed ? "UpgradeFailed" : "NotInstalled");
    if (failed) {
      Link("current", a_);
      Link("previous", a_);
      Link("failed", b_);
    }
    auto context = MakeContext();
    try {
      RunLoop(context);
      FAIL() << "no exception";
    } catch (const std::logic_error& error) {
      EXPECT_STREQ("Unexpected upgrade state", error.what());
    }
  }
}

TEST_F(UpgradeLoopTest, InstalledAndRolledBackOnlyStart) {
  Link("current", a_);
  auto context = MakeContext();
  command_.onStart = [] { return StartCommand::kAlreadyRunning; };
  int result = -1;
  EXPECT_EQ("", RunLoop(context, &result));
  EXPECT_EQ(2, result);
  Link("failed", b_);
  Link("upgrade", b_);
  EXPECT_EQ("", RunLoop(context, &result));
  EXPECT_THAT(command_.starts, ElementsAre("Installed", "RolledBack"));
  EXPECT_TRUE(testing::RecordedCalls().empty());
}

TEST_F(UpgradeLoopTest, ARemovalCutShortEndsBeforeTheProductStarts) {
  // A previous run was killed while it removed a after switching to b.
  Link("current", b_);
  fs::create_symlink(a_, var_ / "install-previous.removing");
  fs::remove_all(a_ / "opt");
  auto context = MakeContext();
  EXPECT_EQ("", RunLoop(context));
  EXPECT_FALSE(fs::exists(a_));
  EXPECT_FALSE(fs::exists(fs::symlink_status(var_ / "install-previous.removing")));
  EXPECT_THAT(command_.starts, ElementsAre("Installed"));
}

TEST_F(UpgradeLoopTest, PackageReconfiguredGoesToTheNewLauncher) {
  Link("current", a_);
  Link("upgrade", b_);
  auto context = MakeContext();
  EXPECT_EQ(currentLauncher_, RunLoop(context));
  // Start is written before the exec: a start after a crash goes on in b.
  EXPECT_EQ("current=b upgrade=- previous=a failed=-", Links());
  EXPECT_TRUE(command_.starts.empty());
}

// With fanotify off and a product module loaded the upgrade waits for a reboot: the old
// product starts and the state stays. /proc is replaced in a private mount namespace of a
// child, where /proc/modules lists the module.
TEST_F(UpgradeLoopTest, LoadedModuleHoldsTheUpgradeUntilReboot) {
  Link("current", a_);
  Link("upgrade", b_);
  testing::TempDir proc;
  testing::WriteFile(proc / "modules", "ext4 1 0 - Live 0x0\nredirfs 16384 0 - Live 0x0\n");
  const int status = testing::RunInChild([&]() -> int {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(proc.path().c_str(), "/proc", nullptr, MS_BIND, nullptr) != 0) {
      return 77;
    }
    auto context = MakeContext();
    context.ini.put("General.UseFanotify", "no");
    if (!RunLoop(context).empty() ||
        command_.starts != std::vector<std::string>{"PackageReconfigured"}) {
      return 1;
    }
    context.ini.put("General.UseFanotify", "yes");
    return RunLoop(context) == currentLauncher_ ? 0 : 2;
  });
  if (status == 77) {
    GTEST_SKIP() << "no private mount namespace here";
  }
  EXPECT_EQ(0, status);
}

TEST_F(UpgradeLoopTest, FirstStartOfTheNewPatch) {
  Link("current", b_);
  Link("previous", a_);
  const Path json = b_ / "var/opt/brevantis/tarn/private/upgrade.json";
  testing::WriteFile(json, "{\"OldVersion\": \"12.4.0.1\"}");
  auto context = MakeContext();
  int result = -1;
  EXPECT_EQ("", RunLoop(context, &result));
  EXPECT_EQ(0, result);
  EXPECT_EQ("current=b upgrade=- previous=- failed=-", Links());
  EXPECT_FALSE(fs::exists(a_));
  EXPECT_EQ(1, command_.exports);
  EXPECT_THAT(command_.starts, ElementsAre("Start"));
  boost::property_tree::ptree info;
  boost::property_tree::read_json(json.string(), info);
  EXPECT_EQ("12.4.0.1", info.get<std::string>("OldVersion"));
  EXPECT_EQ(
      "/var/opt/brevantis/tarn/install-current/var/opt/brevantis/tarn/private/"
      "for_upgrade_settings.xml",
      info.get<std::string>("ForUpgradeSettings"));
  EXPECT_FALSE(info.get_optional<std::string>("ForUpgradePersistentData"));
}

// The previous patch's launcher exports with its own libraries first in the search path.
TEST_F(UpgradeLoopTest, ExportRunsThePreviousLauncherWithItsLibraryDirectory) {
  testing::TempDir out;
  testing::WriteFile(
      a_ / "opt/brevantis/tarn/libexec/launcher",
      "#!/bin/sh\necho \"$LD_LIBRARY_PATH $*\" > " + (out / "export").string() + "\n", 0755);
  Link("current", b_);
  Link("previous", a_);
  auto context = MakeContext();
  command_.realExport = true;
  RunLoop(context);
  const std::string libDir = "/var/opt/brevantis/tarn/install-previous/opt/brevantis/tarn/lib64/";
  EXPECT_EQ(libDir + " --export\n", testing::ReadFile(out / "export"));
  EXPECT_THAT(tracer_->Texts(), ::testing::Contains("ExportPreviousSettings: libDir = " + libDir));
}

TEST_F(UpgradeLoopTest, FirstStartInstallsTheServiceUnitOfThePatch) {
  Link("current", b_);
  Link("previous", a_);
  const Path shared = b_ / "opt/brevantis/tarn/shared";
  testing::WriteFile(shared / "tarn.service", "[Service]\n");
  testing::WriteFile(shared / "tarn", "#!/bin/sh\n", 0755);
  auto context = MakeContext();
  RunLoop(context);
  if (IsSystemd()) {
    const Path unit = "/lib/systemd/system/tarn.service";
    EXPECT_EQ("[Service]\n", testing::ReadFile(unit));
    EXPECT_THAT(testing::RecordedCalls(), ::testing::Contains("systemctl daemon-reload"));
    fs::remove(unit);
  } else {
    const Path script = "/etc/init.d/tarn";
    EXPECT_EQ("/var/opt/brevantis/tarn/install-current/opt/brevantis/tarn/shared/tarn",
              fs::read_symlink(script).string());
    fs::remove(script);
  }
}

TEST_F(UpgradeLoopTest, FailedFirstStartRollsBack) {
  Link("current", b_);
  Link("previous", a_);
  auto context = MakeContext();
  command_.onStart = []() -> int { throw std::runtime_error("wdserver failed"); };
  EXPECT_EQ(currentLauncher_, RunLoop(context));
  EXPECT_EQ("current=a upgrade=- previous=- failed=b", Links());
  EXPECT_THAT(tracer_->TextsAt(kTraceError), ::testing::Contains("Start: wdserver failed"));

  // The launcher of a (this process again, here) finishes the rollback and starts a.
  command_.onStart = [] { return StartCommand::kStarted; };
  int result = -1;
  EXPECT_EQ("", RunLoop(context, &result));
  EXPECT_EQ(0, result);
  EXPECT_EQ("current=a upgrade=b previous=- failed=b", Links());
  EXPECT_THAT(command_.starts, ElementsAre("Start", "RolledBack"));
}

// A rollback whose install actions fail keeps its state, so the next start repeats it,
// and the start ends with the failure.
TEST_F(UpgradeLoopTest, FailedRollbackStaysRollingBack) {
  Link("current", a_);
  Link("failed", b_);
  fs::remove(a_ / "opt/brevantis/tarn/libexec/tarn-starter");
  auto context = MakeContext();
  try {
    RunLoop(context);
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("Patch /var/opt/brevantis/tarn/install-current is "
                                        "incomplete: "));
  }
  EXPECT_EQ("current=a upgrade=- previous=- failed=b", Links());
  EXPECT_EQ(S::RollingBack, launcher_.GetUpgradeState());
  EXPECT_THAT(
      tracer_->TextsAt(kTraceError),
      ::testing::Contains("RollingBack: Rollback failed; it is repeated at the next start"));
  EXPECT_TRUE(command_.starts.empty());
}

// The launcher of the other patch that cannot be executed: the error names it, and the
// state written before stays for the next start.
TEST_F(UpgradeLoopTest, ExecOfAMissingLauncherFails) {
  Link("current", b_);
  fs::remove(b_ / "opt/brevantis/tarn/libexec/launcher");
  // In a child: the exec's preparation resets this process's signal handling.
  const int status = testing::RunInChild([&]() -> int {
    StartCommand command(
        launcher_, std::make_shared<const LauncherArguments>(std::vector<std::string>{"launcher"}));
    auto context = MakeContext();
    try {
      command.ExecLauncher(context);
    } catch (const std::system_error& error) {
      const bool named = std::string(error.what()) ==
                         "Can't exec " + currentLauncher_ + ": No such file or directory";
      return named && error.code().value() == ENOENT ? 0 : 2;
    }
    return 1;
  });
  EXPECT_EQ(0, status);
}

TEST_F(UpgradeLoopTest, IncompletePatchFailsBeforeAnythingPointsAtIt) {
  Link("current", b_);
  Link("previous", a_);
  fs::remove(b_ / "opt/brevantis/tarn/libexec/tarn-starter");
  auto context = MakeContext();
  EXPECT_EQ(currentLauncher_, RunLoop(context));
  EXPECT_TRUE(command_.starts.empty());
  EXPECT_THAT(
      tracer_->TextsAt(kTraceError),
      ::testing::Contains(HasSubstr("Start: Patch /var/opt/brevantis/tarn/install-current is "
                                    "incomplete: ")));
}

// Before 12.4 the previous patch's kernel-level updates stay behind; the new build's own
// kernel-level files, shipped in its modules or among its initial updates, always stay.
TEST_F(UpgradeLoopTest, UlkmUpdatesBefore12_4StayBehind) {
  const Path modules = "opt/brevantis/tarn/lib64/updatable_modules";
  const Path updates = "var/opt/brevantis/tarn/private/updates";
  const Path initialUpdates = "opt/brevantis/tarn/shared/init/updates";
  for (const char* version : {"12.3.9.9", "12.4.0.0"}) {
    SCOPED_TRACE(version);
    TearDown();
    SetUp();
    LayPatch(a_, version);
    testing::WriteFile(a_ / modules / "libsystem_interceptors.so", "old ulkm");
    testing::WriteFile(a_ / modules / "libscanner.so", "scanner");
    testing::WriteFile(a_ / updates / "avbases/base.db", "bases");
    testing::WriteFile(a_ / updates / "libsystem_interceptors.so.sig", "signature");
    testing::WriteFile(a_ / updates / "ulkm/libsystem_interceptors.so.2", "old update");
    testing::WriteFile(b_ / modules / "libsystem_interceptors.so", "shipped ulkm");
    // b's initial updates, as its install laid them.
    for (const Path& root : {b_ / initialUpdates, b_ / updates}) {
      testing::WriteFile(root / "libsystem_interceptors.so.sig", "shipped signature");
      testing::WriteFile(root / "libsystem_interceptors.idx", "shipped index");
    }
    Link("current", b_);
    Link("previous", a_);
    auto context = MakeContext();
    command_.onStart = []() -> int { throw std::runtime_error("stop before Installed"); };
    RunLoop(context);
    const bool old = std::string(version) == "12.3.9.9";
    EXPECT_EQ("scanner", testing::ReadFile(b_ / modules / "libscanner.so"));
    EXPECT_EQ("bases", testing::ReadFile(b_ / updates / "avbases/base.db"));
    EXPECT_EQ(old ? "shipped ulkm" : "old ulkm",
              testing::ReadFile(b_ / modules / "libsystem_interceptors.so"));
    EXPECT_EQ(old ? "shipped signature" : "signature",
              testing::ReadFile(b_ / updates / "libsystem_interceptors.so.sig"));
    EXPECT_EQ(!old, fs::exists(b_ / updates / "ulkm/libsystem_interceptors.so.2"));
    EXPECT_EQ("shipped index", testing::ReadFile(b_ / updates / "libsystem_interceptors.idx"));
    EXPECT_EQ("old ulkm", testing::ReadFile(a_ / modules / "libsystem_interceptors.so"));
    EXPECT_EQ("signature", testing::ReadFile(a_ / updates / "libsystem_interceptors.so.sig"));
  }
}

TEST_F(UpgradeLoopTest, OtherLauncherGetsOnlyTheStandardStreamsAndDefaultSignals) {
  testing::TempDir out;
  testing::WriteFile(b_ / "opt/brevantis/tarn/libexec/launcher",
                     "#!/bin/sh\n"
                     "echo \"$#\" > " +
                         (out / "arguments").string() +
                         "\n"
                         "grep -E '^Sig(Blk|Ign)' /proc/self/status > " +
                         (out / "signals").string() +
                         "\n"
                         "exec /bin/ls /proc/self/fd > " +
                         (out / "fds").string() + "\n",
                     0755);
  Link("current", b_);
  const int status = testing::RunInChild([&]() -> int {
    // What a caller might leave behind: a descriptor without close-on-exec, an ignored
    // and a blocked signal.
    const int inherited = open("/dev/null", O_RDONLY);
    dup2(inherited, 7);
    signal(SIGHUP, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    StartCommand command(
        launcher_, std::make_shared<const LauncherArguments>(std::vector<std::string>{"launcher"}));
    auto context = MakeContext();
    command.ExecLauncher(context);
  });
  EXPECT_EQ(0, status);
  EXPECT_EQ("0\n", testing::ReadFile(out / "arguments"));
  EXPECT_EQ("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n",
            testing::ReadFile(out / "signals"));
  // ls's own directory descriptor is 3.
  EXPECT_EQ("0\n1\n2\n3\n", testing::ReadFile(out / "fds"));
}

// Once the new server runs, a failed update of the service unit is told but rolls nothing
// back: the previous patch's data would otherwise be gone under the product that runs.
// (Where units live is asked once per process, so its failure is the end-to-end test's.)
TEST_F(UpgradeLoopTest, FailedUnitUpdateAfterTheServerRunsKeepsTheUpgrade) {
  if (!IsSystemd()) {
    GTEST_SKIP() << "the unit's update asks systemd";
  }
  testing::WriteFile(b_ / "opt/brevantis/tarn/shared/tarn.service", "[Service]\n");
  Link("current", b_);
  Link("previous", a_);
  testing::SetStandinAnswer("systemctl",
                            "[ \"$1\" = show ] && "
                            "echo FragmentPath=/lib/systemd/system/multi-user.target\n"
                            "[ \"$1\" = daemon-reload ] && exit 1\nexit 0\n");
  auto context = MakeContext();
  int result = -1;
  EXPECT_EQ("", RunLoop(context, &result));
  testing::ClearStandinAnswer("systemctl");
  fs::remove("/lib/systemd/system/tarn.service");
  EXPECT_EQ(0, result);
  EXPECT_EQ("current=b upgrade=- previous=- failed=-", Links());
  EXPECT_THAT(command_.starts, ElementsAre("Start"));
  EXPECT_THAT(tracer_->TextsAt(kTraceWarning),
              ::testing::Contains(
                  "InstallServiceUnit: Cmd: systemctl daemon-reload failed with exit code 1"));
}

// A new launcher that this machine cannot run fails the upgrade before its exec: the old
// launcher rolls back, and the report names the step.
TEST_F(UpgradeLoopTest, NewLauncherThatCannotRunRollsBack) {
  const std::string program = testing::ReadFile("/bin/true");
  const struct {
    const char* why;
    std::string content;
  } cases[] = {
      {"it is empty", ""},
      {"it is cut off", program.substr(0, program.size() / 2)},
      {"it is not an ELF file", "#!/bin/sh\n"},
  };
  for (const auto& [why, content] : cases) {
    SCOPED_TRACE(why);
    TearDown();
    SetUp();
    const Path launcher = b_ / "opt/brevantis/tarn/libexec/launcher";
    testing::WriteFile(launcher, content, 0755);
    testing::WriteFile(b_ / "var/opt/brevantis/tarn/private/upgrade.json", "{}");
    Link("current", a_);
    Link("previous", a_);
    Link("upgrade", b_);
    auto context = MakeContext();
    // The old launcher again, after the rollback's exec.
    EXPECT_EQ(currentLauncher_, RunLoop(context));
    EXPECT_EQ("current=a upgrade=- previous=- failed=b", Links());
    EXPECT_THAT(
        tracer_->TextsAt(kTraceError),
        ::testing::Contains("Upgrade: Patch /var/opt/brevantis/tarn/install-current is "
                            "incomplete: " +
                            currentLauncher_ + " is not a program this machine can run: " + why));
    EXPECT_EQ("", RunLoop(context));
    EXPECT_THAT(tracer_->TextsAt(kTraceError),
                ::testing::Contains("RollingBack: The upgrade to version 12.6.0.118 failed at the "
                                    "start of its launcher and was rolled back; version 12.4.0.1 "
                                    "runs."));
    EXPECT_THAT(command_.starts, ElementsAre("RolledBack"));
    command_.starts.clear();
  }
}

// An upgrade from a product of another name: its service hands over to ours.
class RenamingTest : public UpgradeLoopTest {
 protected:
  StartCommand::Context MakeRenamingContext(const std::string& packageType) {
    auto context = MakeContext(InstallMode::UpgradeWithRenaming);
    context.firstService.emplace(std::make_unique<SystemdService>(
        tracer_, "tarn", std::make_unique<Systemctl>(tracer_, "/usr/bin/systemctl"),
        "/usr/bin/systemctl"));
    context.secondService.emplace(std::make_unique<SystemdService>(
        tracer_, "old", std::make_unique<Systemctl>(tracer_, "/usr/bin/systemctl"),
        "/usr/bin/systemctl"));
    context.packagesToRemove = {"old-product"};
    context.packageType = packageType;
    return context;
  }
  void SetUp() override {
    UpgradeLoopTest::SetUp();
    Link("current", b_);
    // Neither service is enabled, and the package tools only record the removal.
    testing::SetStandinAnswer("systemctl", "[[ $1 != is-enabled ]]\n");
    testing::SetStandinAnswer("dpkg", "exit 0\n");
    testing::SetStandinAnswer("rpm", "exit 0\n");
  }
  void TearDown() override {
    for (const char* tool : {"systemctl", "dpkg", "rpm"}) {
      testing::ClearStandinAnswer(tool);
    }
    UpgradeLoopTest::TearDown();
  }
};

TEST_F(RenamingTest, SuccessRemovesThePreviousPackage) {
  for (const char* type : {"deb", "rpm", ""}) {
    SCOPED_TRACE(type);
    testing::ClearRecordedCalls();
    auto context = MakeRenamingContext(type);
    RunLoop(context);
    const std::string removal =
        std::string(type) == "deb" ? "dpkg -P old-product" : "rpm -e old-product";
    EXPECT_THAT(testing::RecordedCalls(),
                ElementsAre("systemctl is-enabled tarn", "systemctl enable tarn",
                            "systemctl is-enabled old", "systemctl stop old", removal));
  }
}

TEST_F(RenamingTest, FailedStartGivesThePreviousServiceBack) {
  auto context = MakeRenamingContext("deb");
  command_.onStart = []() -> int { throw std::runtime_error("wdserver failed"); };
  EXPECT_THROW(RunLoop(context), std::runtime_error);
  EXPECT_THAT(
      testing::RecordedCalls(),
      ElementsAre("systemctl is-enabled tarn", "systemctl enable tarn", "systemctl is-enabled old",
                  "systemctl stop old", "systemctl is-enabled old", "systemctl enable old",
                  "systemctl is-enabled tarn", "systemctl start old"));
}

TEST(StartCommandTest, AgreementMustBeAccepted) {
  auto tracer = testing::MakeRecordingTracer();
  TestLauncher launcher(tracer);
  StartCommand command(
      launcher, std::make_shared<const LauncherArguments>(std::vector<std::string>{"launcher"}));
  StartCommand::Context context{ProductPaths(tracer)};
  EXPECT_THROW(command.CheckAgreements(context), std::logic_error);
  // The identifier under another kind accepts nothing.
  context.agreements.Accept(Agreements::Kind::Ztna, "be35c8ec-ac67-c4c8-ec3d-a18609760163");
  context.agreements.Accept(Agreements::Kind::Patch, "be35c8ec-ac67-c4c8-ec3d-a18609760163");
  EXPECT_THROW(command.CheckAgreements(context), std::logic_error);
  context.agreements.Accept(Agreements::Kind::Eula, "be35c8ec-ac67-c4c8-ec3d-a18609760163");
  EXPECT_NO_THROW(command.CheckAgreements(context));
}

}  // namespace
}  // namespace sov::supervisor
