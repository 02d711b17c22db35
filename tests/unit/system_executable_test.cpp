#include "supervisor/common/process/system_executable.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using testing::Path;

// A tool in the sandbox's /usr/bin, and one in a folder below it.
class SystemExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::WriteFile("/usr/bin/lookup-test-tool", "#!/bin/sh\n", 0755);
    testing::WriteFile("/usr/bin/lookup-test-dir/tool", "#!/bin/sh\n", 0755);
  }
  void TearDown() override {
    fs::remove("/usr/bin/lookup-test-tool");
    fs::remove_all("/usr/bin/lookup-test-dir");
  }
};

TEST_F(SystemExecutableTest, OnlyAbsoluteAndBareNamesAreFound) {
  const struct {
    std::string name;
    std::optional<std::string> found;
    const char* why;
  } cases[] = {
      {"/no/such/tool", "/no/such/tool", "an absolute name is taken as it is, unchecked"},
      {"lookup-test-tool", "/usr/bin/lookup-test-tool", "a bare name is looked up"},
      {"lookup-test-missing", std::nullopt, "in the system directories only"},
      {"lookup-test-dir/tool", std::nullopt, "a relative path is not looked up below them"},
      {"./lookup-test-tool", std::nullopt, "nor one that starts in the current directory"},
      {"../bin/lookup-test-tool", std::nullopt, "nor one that climbs out of /usr/sbin"},
      {"", std::nullopt, "an empty name names nothing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const auto found = FindSystemExecutable(c.name);
    EXPECT_EQ(c.found, found ? std::optional<std::string>(found->string()) : std::nullopt);
  }
}

}  // namespace
}  // namespace sov::supervisor
