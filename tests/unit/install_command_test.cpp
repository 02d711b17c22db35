#include "supervisor/launcher/install_command.h"

#include "supervisor/common/exceptions.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <map>
#include <string>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;

TEST(InstallTagTest, OnlyAPlainNameNamesThePatchDirectory) {
  const struct {
    std::string tag;
    bool accepted;
    const char* why;
  } cases[] = {
      {"20240601T120000", true, "a time stamp, as package scripts pass"},
      {"a-b_c.d", true, "dash, underscore and dot inside a name"},
      {"12.6.0.118-1+deb12~1:x", true, "a package version"},
      {".hidden", true, "a leading dot still names a directory below the variable directory"},
      {std::string(InstallCommand::kMaxInstallTag, 'x'), true, "the longest tag"},
      {"", false, "empty: the patch would be named after the version alone"},
      {".", false, "the variable directory's own entry"},
      {"..", false, "its parent"},
      {"../../etc", false, "a path out of the variable directory"},
      {"a/b", false, "a path below another directory"},
      {"a\nb", false, "a line break"},
      {"a\tb", false, "a control character"},
      {std::string("a\0b", 3), false, "a NUL"},
      {"a b", false, "a blank"},
      {"\xc3\xa4", false, "non-ASCII"},
      {std::string(InstallCommand::kMaxInstallTag + 1, 'x'), false, "too long for a file name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    if (c.accepted) {
      EXPECT_NO_THROW(InstallCommand::CheckInstallTag(c.tag));
    } else {
      EXPECT_THROW(InstallCommand::CheckInstallTag(c.tag), ApplicationError);
    }
  }
  try {
    InstallCommand::CheckInstallTag("../x\n");
    FAIL() << "accepted";
  } catch (const ApplicationError& error) {
    EXPECT_STREQ(
        "Invalid install tag '../x\\n': it names the patch directory, so it must be 1 to 128 "
        "printable ASCII characters without blanks or '/', and not '.' or '..'",
        error.what());
  }
}

// The variable directory with the state links given by a test; "new" is the patch that the
// install lays.
class InstallModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    for (const char* patch : {"12.4.0.1_a", "12.6.0.118_n"}) {
      fs::create_directories(var_ / patch);
    }
  }
  void TearDown() override {
    for (auto& entry : fs::directory_iterator(var_)) {
      fs::remove_all(entry.path());
    }
  }

  const Path var_ = "/var/opt/brevantis/tarn";
  ProductPaths product_{nullptr};
};

TEST_F(InstallModeTest, FromTheLinks) {
  const Path old = var_ / "12.4.0.1_a";
  const Path fresh = var_ / "12.6.0.118_n";
  const struct {
    std::map<std::string, Path> links;
    InstallMode expected;
    const char* why;
  } cases[] = {
      {{}, InstallMode::Install, "nothing installed"},
      {{{"current", old}}, InstallMode::UpgradeWithoutRenaming, "an installed product"},
      {{{"current", old}, {"upgrade", var_ / "12.5.0.1_b"}},
       InstallMode::UpgradeWithoutRenaming,
       "an upgrade waiting for its restart"},
      {{{"current", fresh}},
       InstallMode::Install,
       "a first install interrupted after it made its link"},
      {{{"current", fresh}, {"previous", old}},
       InstallMode::UpgradeWithoutRenaming,
       "the new patch is current in the middle of an upgrade: not a first install"},
      {{{"current", var_ / "gone"}}, InstallMode::Install, "a dangling link names nothing"},
  };
  const PatchPaths newPatch = product_.PatchRootedAt(fresh);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    for (const auto& [name, target] : c.links) {
      fs::create_symlink(target, var_ / ("install-" + name));
    }
    EXPECT_EQ(ToString(c.expected),
              ToString(InstallCommand::DecideInstallMode(product_, product_, newPatch)));
    for (const auto& link : c.links) {
      fs::remove(var_ / ("install-" + link.first));
    }
  }
}

}  // namespace
}  // namespace sov::supervisor
