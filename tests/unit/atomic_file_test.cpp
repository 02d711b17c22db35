#include "sov_common/atomic_file.h"

#include "sov_common/unique_fd.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

namespace sov::tools {
namespace {

namespace fs = boost::filesystem;
using sov::testing::ReadFile;
using sov::testing::WriteFile;

class AtomicFileTest : public ::testing::Test {
 protected:
  // The names in the directory.
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  void WriteTarget(const std::string& content) {
    AtomicFile file(target_);
    file.Write(content);
    file.Commit();
  }

  sov::testing::TempDir dir_;
  const fs::path target_ = dir_ / "tarn.ini";
};

TEST_F(AtomicFileTest, TheDestructorDiscardsWhatWasNotCommitted) {
  WriteFile(target_, "old");
  {
    AtomicFile file(target_);
    file.Write("new");
    EXPECT_TRUE(fs::exists(file.TemporaryPath()));
  }
  EXPECT_EQ("old", ReadFile(target_));
  EXPECT_THAT(Entries(), ::testing::ElementsAre("tarn.ini"));
}

TEST_F(AtomicFileTest, CommitReplacesTheFileWithANewInodeOfTheGivenModeAndOwner) {
  WriteFile(target_, "old", 0644);
  fs::create_hard_link(target_, dir_ / "package-copy");
  AtomicFile file(target_);
  file.Write("new");
  file.SetMode(0640);
  file.SetOwner(12345, 54321);
  file.Commit();
  struct stat status {};
  ASSERT_EQ(0, stat(target_.c_str(), &status));
  EXPECT_EQ(0640u, status.st_mode & 07777);
  EXPECT_EQ(12345u, status.st_uid);
  EXPECT_EQ(54321u, status.st_gid);
  EXPECT_EQ("new", ReadFile(target_));
  EXPECT_EQ("old", ReadFile(dir_ / "package-copy"));
}

// A writer killed before its rename leaves the old file and its temporary file; the next
// writer of the same target removes that, so kills do not pile up.
TEST_F(AtomicFileTest, AKilledWriterLeavesTheOldFileAndTheNextWriteItsLeftover) {
  WriteFile(target_, "old");
  for (int i = 0; i < 3; ++i) {
    const int status = sov::testing::RunInChild([&] {
      AtomicFile file(target_);
      file.Write(std::string(1 << 20, 'x'));
      kill(getpid(), SIGKILL);
      return 0;
    });
    ASSERT_EQ(128 + SIGKILL, status);
  }
  EXPECT_EQ("old", ReadFile(target_));
  EXPECT_EQ(2u, Entries().size());
  WriteTarget("new");
  EXPECT_EQ("new", ReadFile(target_));
  EXPECT_THAT(Entries(), ::testing::ElementsAre("tarn.ini"));
}

TEST_F(AtomicFileTest, OnlyAbandonedTemporaryFilesOfTheTargetAreRemoved) {
  const std::string prefix = "tarn.ini.tmp.";
  WriteFile(dir_ / (prefix + "Ab3xYz"), "abandoned");
  const std::set<std::string> kept = {
      "tarn.ini",
      prefix + "abc",          // too short for the pattern
      prefix + "abcdefg",      // too long
      prefix + "ab-def",       // not a letter or digit
      "tarn.ini.tmp-abcdef",   // another suffix
      "other.ini.tmp.abcdef",  // another target's
      prefix + "Linked",       // a link, even to a file of ours
      prefix + "Direct",       // a directory
      prefix + "Fifo00",       // a FIFO: neither opened nor removed
      prefix + "Others",       // another user's file
      prefix + "Locked",       // a living writer's file
      "victim",
  };
  for (const auto& name : kept) {
    WriteFile(dir_ / name, name);
  }
  fs::remove(dir_ / (prefix + "Linked"));
  fs::create_symlink(dir_ / "victim", dir_ / (prefix + "Linked"));
  fs::remove(dir_ / (prefix + "Direct"));
  fs::create_directory(dir_ / (prefix + "Direct"));
  fs::remove(dir_ / (prefix + "Fifo00"));
  ASSERT_EQ(0, mkfifo((dir_ / (prefix + "Fifo00")).c_str(), 0600));
  ASSERT_EQ(0, chown((dir_ / (prefix + "Others")).c_str(), 12345, 12345));
  const UniqueFd writer(open((dir_ / (prefix + "Locked")).c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(0, flock(writer.Get(), LOCK_EX));

  // Another writer of the same target, still writing.
  AtomicFile inProgress(target_);
  inProgress.Write("second");

  WriteTarget("new");
  auto expected = kept;
  expected.insert(inProgress.TemporaryPath().filename().string());
  EXPECT_EQ(expected, Entries());
  EXPECT_EQ("victim", ReadFile(dir_ / "victim"));
  inProgress.Commit();
  EXPECT_EQ("second", ReadFile(target_));
}

}  // namespace
}  // namespace sov::tools
