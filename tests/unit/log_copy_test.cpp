#include "supervisor/common/log_copy.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

class LogCopyTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::WriteFile(traceFile_, "run 1\n", 0600); }

  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  testing::TempDir dir_;
  Path traceFile_ = dir_ / "tarn_launcher.log";
  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
};

TEST_F(LogCopyTest, EnableLinksAndTheEndCopies) {
  std::string link;
  {
    LogCopy copy;
    copy.Init(tracer_, traceFile_);
    copy.Enable();
    ASSERT_EQ(2u, Entries().size());
    link = *Entries().rbegin();  // "tarn_launcher.log" sorts first
    EXPECT_THAT(link, MatchesRegex("tarn_launcher_[0-9]+\\.log"));
    EXPECT_TRUE(fs::equivalent(traceFile_, dir_ / link));
    testing::WriteFile(traceFile_, "run 1 and more\n", 0600);
  }
  EXPECT_EQ("run 1 and more\n", testing::ReadFile(dir_ / "tarn_launcher_0.log"));
  EXPECT_EQ(3u, Entries().size());
  const std::string file = traceFile_.string();
  EXPECT_THAT(tracer_->Texts(),
              ElementsAre("Enable: Hardlink created " + file + " -> " + (dir_ / link).string(),
                          "~LogCopy: File copied " + file + " -> " +
                              (dir_ / "tarn_launcher_0.log").string()));
}

TEST_F(LogCopyTest, AnExistingNumberedLinkIsReusedAndNothingIsCopied) {
  fs::create_hard_link(traceFile_, dir_ / "tarn_launcher_1700000000.log");
  testing::WriteFile(dir_ / "tarn_launcher_1600000000.log", "another file\n");
  {
    LogCopy copy;
    copy.Init(tracer_, traceFile_);
    copy.Enable();
  }
  EXPECT_EQ(3u, Entries().size());
  EXPECT_THAT(tracer_->Texts(),
              ElementsAre("Enable: Log hardlink " +
                          (dir_ / "tarn_launcher_1700000000.log").string() + " has been found"));
}

TEST_F(LogCopyTest, WithoutTracingOrEnableNothingHappens) {
  {
    LogCopy withoutInit;
    withoutInit.Enable();
    LogCopy notEnabled;
    notEnabled.Init(tracer_, traceFile_);
  }
  EXPECT_EQ(1u, Entries().size());
  EXPECT_TRUE(tracer_->Lines().empty());
}

TEST_F(LogCopyTest, LinksAreNeverWrittenOrReadThrough) {
  const Path victim = dir_ / "victim";
  testing::WriteFile(victim, "someone else's\n");
  const Path copyName = dir_ / "tarn_launcher_0.log";
  fs::create_symlink(victim, copyName);
  {
    LogCopy copy;
    copy.Init(tracer_, traceFile_);
    copy.Enable();
  }
  // The planted link at the copy's name was replaced by the copy.
  EXPECT_EQ("someone else's\n", testing::ReadFile(victim));
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(copyName)));
  EXPECT_EQ("run 1\n", testing::ReadFile(copyName));

  // A trace file that is a link is not copied.
  fs::remove(copyName);
  const Path linkedTrace = dir_ / "linked.log";
  fs::create_symlink(victim, linkedTrace);
  tracer_->Clear();
  {
    LogCopy copy;
    copy.Init(tracer_, linkedTrace);
    copy.Enable();
  }
  EXPECT_FALSE(fs::exists(dir_ / "linked_0.log"));
  EXPECT_THAT(tracer_->TextsAt(300),
              ElementsAre("~LogCopy: Cannot copy " + linkedTrace.string() + " -> " +
                          (dir_ / "linked_0.log").string() +
                          ". Reason: Too many levels of symbolic links. Ignore it"));
}

TEST_F(LogCopyTest, LinkFailureIsTracedAndIgnored) {
  LogCopy copy;
  copy.Init(tracer_, dir_ / "missing" / "tarn_launcher.log");
  copy.Enable();
  ASSERT_EQ(1u, tracer_->TextsAt(300).size());
  EXPECT_THAT(tracer_->TextsAt(300).front(),
              MatchesRegex("Enable: Cannot create hardlink .* -> .*_[0-9]+\\.log\\. Reason: "
                           ".*\\. Ignore it"));
}

}  // namespace
}  // namespace sov::supervisor
