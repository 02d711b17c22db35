#include "supervisor/common/system/core_dumps.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using ::testing::UnorderedElementsAre;

std::set<std::string> Names(const Path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class CoreDumpsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(testing::InsideSandbox()); }
  void TearDown() override { fs::remove_all(product_.CommonDir()); }

  const Version version_{12, 6, 0, 118};
  const std::string current_ = "tarn_12.6.0.118_1700000000.dmp";
  const std::string previous_ = "tarn_12.4.0.1_1600000000.dmp";
  ProductPaths product_{nullptr};
  const Path dumps_ = product_.CommonDir() / "dumps";
  const Path users_ = product_.CommonDir() / "dumps-user";
  ivo::TracerPtr tracer_ = testing::MakeRecordingTracer();
};

TEST_F(CoreDumpsTest, KeepsOnlyTheCurrentVersionsDumps) {
  for (const auto& name :
       {current_, previous_, std::string("note.txt"), std::string("tarn_12.6.0.1180_1.dmp"),
        std::string("x12.6.0.118_1.dmp")}) {
    testing::WriteFile(dumps_ / name, "core");
  }
  testing::WriteFile(users_ / "alice" / previous_, "core");
  testing::WriteFile(users_ / "alice" / current_, "core");
  testing::WriteFile(users_ / "plain-file.txt", "stays");
  // A user's link to a directory of someone else is not followed.
  testing::WriteFile(product_.CommonDir() / "elsewhere" / previous_, "not a user's");
  fs::create_directory_symlink(product_.CommonDir() / "elsewhere", users_ / "mallory");

  CoreDumps(tracer_, product_, {}).RemoveOtherVersions(version_);
  EXPECT_THAT(Names(dumps_), UnorderedElementsAre(current_));
  EXPECT_THAT(Names(users_ / "alice"), UnorderedElementsAre(current_));
  EXPECT_TRUE(fs::exists(users_ / "plain-file.txt"));
  EXPECT_TRUE(fs::exists(product_.CommonDir() / "elsewhere" / previous_));
}

TEST_F(CoreDumpsTest, ConfiguredDirectoryReplacesTheDefault) {
  const Path custom = product_.CommonDir() / "custom-dumps";
  testing::WriteFile(custom / previous_, "core");
  testing::WriteFile(dumps_ / previous_, "core");
  boost::property_tree::ptree ini;
  ini.put("General.CoreDumpsPath", custom.string());
  CoreDumps(tracer_, product_, ini).RemoveOtherVersions(version_);
  EXPECT_TRUE(Names(custom).empty());
  EXPECT_THAT(Names(dumps_), UnorderedElementsAre(previous_));
}

TEST_F(CoreDumpsTest, MissingDumpsDirectoryIsNothingToDo) {
  EXPECT_NO_THROW(CoreDumps(tracer_, product_, {}).RemoveOtherVersions(version_));
}

// A link where the dumps directory belongs is never followed, whether the path names it
// with a trailing slash (as the default does) or without.
TEST_F(CoreDumpsTest, ALinkInPlaceOfTheDumpsDirectoryIsRefused) {
  testing::TempDir elsewhere;
  testing::WriteFile(elsewhere / previous_, "someone else's");
  testing::WriteFile(elsewhere / "note.txt", "someone else's");
  fs::create_directories(product_.CommonDir());
  fs::create_symlink(elsewhere.path(), dumps_);
  for (const std::string& configured : {std::string(), dumps_.string(), dumps_.string() + "//"}) {
    SCOPED_TRACE(configured.empty() ? "default" : configured);
    boost::property_tree::ptree ini;
    if (!configured.empty()) {
      ini.put("General.CoreDumpsPath", configured);
    }
    EXPECT_THROW(CoreDumps(tracer_, product_, ini).RemoveOtherVersions(version_),
                 fs::filesystem_error);
    EXPECT_THAT(Names(elsewhere.path()), UnorderedElementsAre(previous_, "note.txt"));
  }
}

}  // namespace
}  // namespace sov::supervisor
