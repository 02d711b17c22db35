#include "sov_common/platform.h"

#include "sov_common/distrib_type.h"
#include "sov_common/init_system.h"
#include "sov_common/nofile_limit.h"
#include "tests/unit/test_support.h"

#include <boost/property_tree/ini_parser.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <system_error>

namespace sov::supervisor {
namespace {

using testing::TempDir;
using testing::WriteFile;

TEST(PlatformTest, BitnessFollowsTheMachineName) {
  const struct {
    const char* machine;
    int bits;
  } cases[] = {{"i386", 32},  {"i686", 32}, {"I586", 32},    {"x86_64", 64},  {"AMD64", 64},
               {"em64t", 64}, {"ia64", 64}, {"Itanium", 64}, {"aarch64", 64}, {"ARM64", 64}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.machine);
    EXPECT_EQ(c.bits, BitnessOf(c.machine));
  }
  for (const char* unsupported : {"ppc64le", "i86", "ix86", "s390x", ""}) {
    SCOPED_TRACE(unsupported);
    try {
      BitnessOf(unsupported);
      FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string("Unsupported architecture ") + unsupported, error.what());
    }
  }
}

TEST(PlatformTest, ReleaseAndBitnessOfThisMachine) {
  EXPECT_FALSE(GetOsRelease().empty());
  EXPECT_EQ(sizeof(void*) * 8, static_cast<size_t>(GetBitness()));
  EXPECT_EQ("/proc/42/exe", ProcessExePath(42));
}

TEST(InitSystemTest, SystemdIsRecognisedByTheInitExecutablePath) {
  EXPECT_TRUE(IsSystemdExecutable("/usr/lib/systemd/systemd"));
  EXPECT_TRUE(IsSystemdExecutable("/lib/systemd/systemd"));
  EXPECT_FALSE(IsSystemdExecutable("/sbin/init"));
  EXPECT_FALSE(IsSystemdExecutable(""));
  // The sandbox chose the flavour of its PID 1.
  const char* flavour = std::getenv("LAUNCHER_SANDBOX_INIT");
  ASSERT_NE(nullptr, flavour);
  EXPECT_EQ(std::string(flavour) == "systemd", IsSystemd());
}

class DistribTypeTest : public ::testing::Test {
 protected:
  TempDir etc_;
};

TEST_F(DistribTypeTest, OsReleaseDecides) {
  const struct {
    const char* osRelease;
    DistribType expected;
  } cases[] = {
      {"ID=astra\nPRETTY_NAME=\"Astra Linux (based on Debian)\"\n", DistribType::Astra},
      {"PRETTY_NAME=\"Ubuntu 22.04.3 LTS\"\n", DistribType::Ubuntu},
      {"PRETTY_NAME=\"openEuler 22.03\"\n", DistribType::Euler},
      {"PRETTY_NAME=\"ALT Workstation 10\"\n", DistribType::Alt},
      {"PRETTY_NAME=\"CentOS Linux 7\"\n", DistribType::RedHat},
      {"PRETTY_NAME=\"Red Hat Enterprise Linux 9\"\n", DistribType::RedHat},
      {"PRETTY_NAME=\"SUSE Linux Enterprise Server 15\"\n", DistribType::Suse},
      {"PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n", DistribType::Debian},
      {"PRETTY_NAME=\"Gentoo\"\n", DistribType::Unknown},
      {"NAME=x\n", DistribType::Unknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.osRelease);
    WriteFile(etc_ / "os-release", c.osRelease);
    EXPECT_EQ(c.expected, DeduceDistribType(etc_.path()));
  }
}

TEST_F(DistribTypeTest, OlderReleaseFilesWhenThereIsNoOsRelease) {
  EXPECT_EQ(DistribType::Unknown, DeduceDistribType(etc_.path()));
  WriteFile(etc_ / "debian_version-release", "11.2");
  EXPECT_EQ(DistribType::Debian, DeduceDistribType(etc_.path()));
  WriteFile(etc_ / "redhat-release", "Red Hat Enterprise Linux release 8.6 (Ootpa)");
  EXPECT_EQ(DistribType::RedHat, DeduceDistribType(etc_.path()));
}

TEST_F(DistribTypeTest, OsReleaseIsReadThroughItsLink) {
  // As on most systems: /etc/os-release -> ../usr/lib/os-release.
  WriteFile(etc_ / "lib/os-release", "PRETTY_NAME=\"Ubuntu 24.04 LTS\"\n");
  ASSERT_EQ(0, symlink("lib/os-release", (etc_ / "os-release").c_str()));
  EXPECT_EQ(DistribType::Ubuntu, DeduceDistribType(etc_.path()));
}

TEST_F(DistribTypeTest, MalformedOsReleaseRaisesTheParserError) {
  WriteFile(etc_ / "os-release", "ID=x\nnot a key value line\n");
  EXPECT_THROW(DeduceDistribType(etc_.path()), boost::property_tree::ini_parser_error);
}

TEST(DistribTypeNameTest, NamesAsTraced) {
  EXPECT_EQ("Euler", ToString(DistribType::Euler));
  EXPECT_EQ("Unknown", ToString(DistribType::Unknown));
  EXPECT_EQ("RedHat", ToString(DistribType::RedHat));
}

TEST(NoFileLimitTest, ReadsTheNumberWithOneTrailingNewline) {
  TempDir dir;
  WriteFile(dir / "nr_open", "1048576\n");
  EXPECT_EQ(1048576u, sov::tools::GetNoFileLimitImpl((dir / "nr_open").string()));
  EXPECT_GT(sov::tools::GetNoFileLimit(), 0u);
}

TEST(NoFileLimitTest, BadContentAndMissingFileThrow) {
  TempDir dir;
  const struct {
    const char* content;
    const char* why;
  } notNumbers[] = {{"", "empty"},
                    {"-1\n", "a minus sign would wrap"},
                    {"12x\n", "trailing text"},
                    {" 5\n", "leading blank"},
                    {"5\n\n", "two newlines"}};
  for (const auto& c : notNumbers) {
    SCOPED_TRACE(c.why);
    WriteFile(dir / "nr_open", c.content);
    EXPECT_THROW(sov::tools::GetNoFileLimitImpl((dir / "nr_open").string()), std::invalid_argument);
  }
  WriteFile(dir / "nr_open", "99999999999999999999999\n");
  EXPECT_THROW(sov::tools::GetNoFileLimitImpl((dir / "nr_open").string()), std::out_of_range);
  // A FIFO would block a plain open until a writer came.
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));
  const struct {
    const char* name;
    const char* reason;
  } unreadable[] = {{"missing", "No such file or directory"}, {"fifo", "Invalid argument"}};
  for (const auto& c : unreadable) {
    SCOPED_TRACE(c.name);
    try {
      sov::tools::GetNoFileLimitImpl((dir / c.name).string());
      FAIL() << "no exception";
    } catch (const std::system_error& error) {
      EXPECT_EQ("Cannot read " + (dir / c.name).string() + " file: " + c.reason,
                std::string(error.what()));
    }
  }
}

}  // namespace
}  // namespace sov::supervisor
