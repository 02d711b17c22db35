#include "supervisor/common/system/user_groups.h"

#include "supervisor/launcher/launcher.h"
#include "tests/unit/hidden_tool.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using ::testing::ElementsAre;

// Group name to group id, from the sandbox's /etc/group.
std::map<std::string, long> Groups() {
  std::map<std::string, long> groups;
  std::ifstream in("/etc/group");
  for (std::string line; std::getline(in, line);) {
    const auto first = line.find(':');
    const auto second = line.find(':', first + 1);
    const auto third = line.find(':', second + 1);
    groups[line.substr(0, first)] = std::stol(line.substr(second + 1, third - second - 1));
  }
  return groups;
}

// The real groupadd and groupdel on the sandbox's /etc.
class UserGroupsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    for (const char* tool : {"groupadd", "groupdel"}) {
      if (!fs::exists(fs::path(std::getenv("LAUNCHER_SANDBOX")) / "real" / tool)) {
        GTEST_SKIP() << "skipped: the sandbox has no real " << tool;
      }
    }
    testing::ClearRecordedCalls();
  }
  void TearDown() override {
    testing::ClearStandinAnswer("groupadd");
    UserGroups(nullptr, Launcher::GroupNames()).Delete();
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  UserGroups groups_{tracer_, Launcher::GroupNames()};
};

TEST_F(UserGroupsTest, CreatedAsSystemGroupsAndDeletedTwiceWithoutError) {
  groups_.Create();
  groups_.Create();
  auto groups = Groups();
  for (const auto& name : Launcher::GroupNames()) {
    ASSERT_EQ(1u, groups.count(name)) << name;
    EXPECT_LT(groups[name], 1000) << name << " is no system group";
  }

  groups_.Delete();
  groups = Groups();
  for (const auto& name : Launcher::GroupNames()) {
    EXPECT_EQ(0u, groups.count(name)) << name;
  }
  tracer_->Clear();
  groups_.Delete();
  EXPECT_THAT(tracer_->TextsAt(kTraceError),
              ElementsAre("'/usr/sbin/groupdel tarnadmin' failed with exit code 6",
                          "'/usr/sbin/groupdel tarnuser' failed with exit code 6",
                          "'/usr/sbin/groupdel tarnaudit' failed with exit code 6",
                          "'/usr/sbin/groupdel notarn' failed with exit code 6"));
  const auto calls = testing::RecordedCalls();
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 4),
            (std::vector<std::string>{"groupadd -rf tarnadmin", "groupadd -rf tarnuser",
                                      "groupadd -rf tarnaudit", "groupadd -rf notarn"}));
}

TEST_F(UserGroupsTest, FailingGroupaddStopsTheCreationAndKeepsEarlierGroups) {
  testing::SetStandinAnswer("groupadd",
                            "[[ $2 != tarnuser ]] || exit 10\n"
                            "exec \"$LAUNCHER_SANDBOX/real/groupadd\" \"$@\"\n");
  try {
    groups_.Create();
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("Cmd: /usr/sbin/groupadd -rf tarnuser failed with exit code 10", error.what());
  }
  const auto groups = Groups();
  EXPECT_EQ(1u, groups.count("tarnadmin"));
  EXPECT_EQ(0u, groups.count("tarnaudit"));
}

TEST_F(UserGroupsTest, MissingToolIsAnError) {
  for (const char* tool : {"groupadd", "groupdel"}) {
    SCOPED_TRACE(tool);
    const testing::HiddenTool hidden(tool);
    try {
      std::string(tool) == "groupadd" ? groups_.Create() : groups_.Delete();
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(tool) + " not found", error.what());
    }
  }
  EXPECT_TRUE(testing::RecordedCalls().empty());
}

}  // namespace
}  // namespace sov::supervisor
