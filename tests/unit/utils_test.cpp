#include "supervisor/common/files/utils.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace sov::supervisor {
namespace {

using ::testing::ElementsAre;
using testing::WriteFile;

// Places fake tools in the sandbox's system directories and removes them afterwards.
class ResolvePathTest : public ::testing::Test {
 protected:
  void Place(const std::string& dir, const std::string& name, unsigned mode) {
    const Path path = Path(dir) / name;
    WriteFile(path, "#!/bin/sh\n", mode);
    placed_.push_back(path);
  }
  void TearDown() override {
    for (const auto& path : placed_) {
      boost::filesystem::remove(path);
    }
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  Utils utils_{tracer_};
  std::vector<Path> placed_;
};

TEST_F(ResolvePathTest, SbinWinsOverBin) {
  Place("/usr/sbin", "resolve-test-tool", 0755);
  Place("/usr/bin", "resolve-test-tool", 0755);
  EXPECT_EQ("/usr/sbin/resolve-test-tool", utils_.ResolvePath("resolve-test-tool").string());
  EXPECT_TRUE(Utils::IsResolvable("resolve-test-tool"));
}

TEST_F(ResolvePathTest, NonExecutableFileAndDirectoryAreSkipped) {
  Place("/usr/sbin", "resolve-test-tool", 0644);
  boost::filesystem::create_directory("/usr/bin/resolve-test-tool");
  placed_.push_back("/usr/bin/resolve-test-tool");
  Place("/usr/sbin", "resolve-test-other", 0644);
  Place("/usr/bin", "resolve-test-other", 0700);
  EXPECT_EQ("/usr/bin/resolve-test-other", utils_.ResolvePath("resolve-test-other").string());
  EXPECT_FALSE(Utils::IsResolvable("resolve-test-tool"));
}

TEST_F(ResolvePathTest, AbsoluteNameIsReturnedUnchecked) {
  EXPECT_EQ("/no/such/tool", utils_.ResolvePath("/no/such/tool").string());
  EXPECT_TRUE(tracer_->Lines().empty());
}

TEST_F(ResolvePathTest, MissingToolIsTracedAndThrown) {
  try {
    utils_.ResolvePath("resolve-test-missing");
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("resolve-test-missing not found", error.what());
  }
  EXPECT_THAT(tracer_->Texts(), ElementsAre("resolve-test-missing not found"));
  EXPECT_FALSE(Utils::IsResolvable("resolve-test-missing"));
}

}  // namespace
}  // namespace sov::supervisor

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using testing::ReadFile;
using testing::TempDir;

class FileUtilsTest : public ::testing::Test {
 protected:
  std::vector<std::string> Traces() const { return tracer_->Texts(); }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  Utils utils_{tracer_};
  TempDir dir_;
};

TEST_F(FileUtilsTest, CreateOrReplaceSymlinkKeepsAnExpectedLink) {
  const Path link = dir_ / "install-current";
  fs::create_symlink("/patch/a", link);
  utils_.CreateOrReplaceSymlink(link, "/patch/a");
  EXPECT_EQ("/patch/a", fs::read_symlink(link).string());
  EXPECT_THAT(Traces(), ElementsAre("CreateOrReplaceSymlink: " + link.string() +
                                    " symlink already has expected value"));
}

TEST_F(FileUtilsTest, CreateOrReplaceSymlinkRenamesANewLinkOverTheOldOne) {
  const Path link = dir_ / "install-current";
  const Path stale = dir_ / "install-current.tmp";
  fs::create_symlink("/patch/a", link);
  testing::WriteFile(stale / "left-over", "from an interrupted run");
  utils_.CreateOrReplaceSymlink(link, "/patch/b");
  EXPECT_EQ("/patch/b", fs::read_symlink(link).string());
  EXPECT_FALSE(fs::exists(fs::symlink_status(stale)));
  const std::string l = link.string();
  const std::string t = stale.string();
  EXPECT_THAT(Traces(),
              ElementsAre("CreateOrReplaceSymlink: Replacing symlink " + l + " -> /patch/b",
                          "RemoveAll: " + t + " removed (2)",
                          "CreateSymlink: Symlink created " + t + " -> /patch/b",
                          "Rename: Renamed " + t + " -> " + l));
}

TEST_F(FileUtilsTest, CreateOrReplaceSymlinkReplacesARealDirectory) {
  const Path link = dir_ / "install-current";
  testing::WriteFile(link / "sub" / "file", "x");
  utils_.CreateOrReplaceSymlink(link, "/patch/a");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ("/patch/a", fs::read_symlink(link).string());
  EXPECT_EQ("CreateOrReplaceSymlink: Creating symlink " + link.string() + " -> /patch/a",
            Traces().front());
}

TEST_F(FileUtilsTest, RemovalsTraceOnlyWhatTheyRemoved) {
  const Path file = dir_ / "file";
  testing::WriteFile(file, "keep me");
  utils_.RemoveSymlink(file);
  EXPECT_TRUE(fs::exists(file));
  EXPECT_THAT(tracer_->TextsAt(500),
              ElementsAre("RemoveSymlink: Path '" + file.string() + "' not a symlink. Skip it."));
  tracer_->Clear();

  fs::create_symlink(file, dir_ / "link");
  utils_.RemoveSymlink(dir_ / "link");
  utils_.Remove(dir_ / "absent");
  utils_.RemoveAll(dir_ / "absent");
  fs::create_directory(dir_ / "empty");
  utils_.RemoveAll(dir_ / "empty");
  EXPECT_TRUE(fs::exists(file));
  EXPECT_THAT(Traces(), ElementsAre("Remove: " + (dir_ / "link").string() + " removed",
                                    "RemoveAll: " + (dir_ / "empty").string() + " removed (1)"));
}

TEST_F(FileUtilsTest, CopyFileRefusesAnExistingTargetUnlessOverwriting) {
  testing::WriteFile(dir_ / "new", "new content", 0640);
  testing::WriteFile(dir_ / "old", "old content");
  // The old file is also hard-linked elsewhere, as the files of a patch laid by cp -l are.
  fs::create_hard_link(dir_ / "old", dir_ / "package-copy");
  ASSERT_EQ(0, chown((dir_ / "old").c_str(), 12345, 54321));
  EXPECT_THROW(utils_.CopyFile(dir_ / "new", dir_ / "old"), fs::filesystem_error);
  EXPECT_EQ("old content", ReadFile(dir_ / "old"));
  utils_.CopyFile(dir_ / "new", dir_ / "old", true);
  EXPECT_EQ("new content", ReadFile(dir_ / "old"));
  EXPECT_EQ("old content", ReadFile(dir_ / "package-copy"));
  EXPECT_EQ(0640, static_cast<int>(fs::status(dir_ / "old").permissions()));
  // The replaced file's owner and group stay; a link in the way lends none.
  struct stat copied {};
  ASSERT_EQ(0, stat((dir_ / "old").c_str(), &copied));
  EXPECT_EQ(12345u, copied.st_uid);
  EXPECT_EQ(54321u, copied.st_gid);
  fs::create_symlink(dir_ / "old", dir_ / "link");
  utils_.CopyFile(dir_ / "new", dir_ / "link", true);
  ASSERT_EQ(0, lstat((dir_ / "link").c_str(), &copied));
  EXPECT_TRUE(S_ISREG(copied.st_mode));
  EXPECT_EQ(geteuid(), copied.st_uid);
}

TEST_F(FileUtilsTest, CopyPrvReplacesFilesInsteadOfWritingThroughTheirHardLinks) {
  testing::WriteFile(dir_ / "package" / "bin" / "tool", "package's tool");
  testing::WriteFile(dir_ / "update" / "bin" / "tool", "updated tool");
  // A patch's files are hard links to the package's unpacked files.
  fs::create_directories(dir_ / "patch" / "bin");
  fs::create_hard_link(dir_ / "package" / "bin" / "tool", dir_ / "patch" / "bin" / "tool");
  utils_.CopyPRV(dir_ / "update" / "bin", dir_ / "patch");
  EXPECT_EQ("updated tool", ReadFile(dir_ / "patch" / "bin" / "tool"));
  EXPECT_EQ("package's tool", ReadFile(dir_ / "package" / "bin" / "tool"));
}

TEST_F(FileUtilsTest, CopyPvLeavesAnExistingTargetAlone) {
  testing::WriteFile(dir_ / "from", "new");
  testing::WriteFile(dir_ / "to", "old");
  fs::create_symlink(dir_ / "elsewhere", dir_ / "dangling");
  utils_.CopyPV(dir_ / "from", dir_ / "to");
  utils_.CopyPV(dir_ / "from", dir_ / "dangling");
  EXPECT_EQ("old", ReadFile(dir_ / "to"));
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));
  EXPECT_TRUE(Traces().empty());  // cp never ran

  utils_.CopyPV(dir_ / "from", dir_ / "fresh");
  EXPECT_EQ("new", ReadFile(dir_ / "fresh"));
}

TEST_F(FileUtilsTest, HardlinkAndSymlinkCopies) {
  testing::WriteFile(dir_ / "events.db", "db");
  utils_.CreateHardlink(dir_ / "linked.db", dir_ / "events.db");
  EXPECT_TRUE(fs::equivalent(dir_ / "linked.db", dir_ / "events.db"));
  fs::create_symlink("relative/target", dir_ / "a");
  utils_.CopySymlink(dir_ / "a", dir_ / "b");
  EXPECT_EQ("relative/target", fs::read_symlink(dir_ / "b").string());
  EXPECT_THROW(utils_.CopySymlink(dir_ / "a", dir_ / "b"), fs::filesystem_error);
}

// The distribution is deduced once per process, so each case runs in a child process
// that sees its own /etc/os-release.
class CopyNprvTest : public FileUtilsTest {
 protected:
  void SetUp() override {
    original_ = fs::read_symlink("/etc/os-release", ignored_);
    fs::remove("/etc/os-release");
  }
  void TearDown() override {
    fs::remove("/etc/os-release");
    if (!original_.empty()) {
      fs::create_symlink(original_, "/etc/os-release");
    }
  }
  // 0 when CopyNPRV of a missing source (cp exits 1) completed, 3 when it threw.
  int CopyMissingSourceOn(const std::string& prettyName) {
    testing::WriteFile("/etc/os-release", "PRETTY_NAME=\"" + prettyName + "\"\n");
    return testing::RunInChild([&] {
      try {
        utils_.CopyNPRV(dir_ / "missing", dir_ / "target");
        return 0;
      } catch (const std::runtime_error&) {
        return 3;
      }
    });
  }

  Path original_;
  boost::system::error_code ignored_;
};

TEST_F(CopyNprvTest, FailingCpIsToleratedOnlyOnAltAndEuler) {
  EXPECT_EQ(0, CopyMissingSourceOn("openEuler 22.03"));
  EXPECT_EQ(0, CopyMissingSourceOn("ALT Workstation 10"));
  EXPECT_EQ(3, CopyMissingSourceOn("Ubuntu 22.04.3 LTS"));
}

TEST_F(CopyNprvTest, DoesNotClobberAndTracesTheDistributionOnce) {
  testing::WriteFile(dir_ / "from" / "a", "new a");
  testing::WriteFile(dir_ / "from" / "b", "new b");
  testing::WriteFile(dir_ / "to" / "from" / "a", "old a");
  testing::WriteFile("/etc/os-release", "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
  const int status = testing::RunInChild([&] {
    utils_.CopyNPRV(dir_ / "from", dir_ / "to");
    utils_.CopyNPRV(dir_ / "from", dir_ / "to");
    int deduced = 0;
    for (const auto& text : tracer_->Texts()) {
      deduced += text == "CopyNPRV: Deduced distrib type: Debian";
    }
    return deduced;
  });
  EXPECT_EQ(1, status);
  EXPECT_EQ("old a", ReadFile(dir_ / "to" / "from" / "a"));
  EXPECT_EQ("new b", ReadFile(dir_ / "to" / "from" / "b"));
}

}  // namespace
}  // namespace sov::supervisor
