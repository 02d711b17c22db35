#include "supervisor/common/utils.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

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
