#include "supervisor/common/system/package_query.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace sov::supervisor {
namespace {

// Package tools faked by scripts that know one installed package, "present", and one
// whose removal left its configuration behind, "removed".
class PackageQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::WriteFile(dir_ / "dpkg-query",
                       "#!/bin/sh\n"
                       "case \"$3\" in\n"
                       "  present|qvnagent) printf 'install ok installed' ;;\n"
                       "  removed) printf 'deinstall ok config-files' ;;\n"
                       "  *) echo \"dpkg-query: no packages found matching $3\" >&2; exit 1 ;;\n"
                       "esac\n",
                       0755);
    testing::WriteFile(dir_ / "rpm", "#!/bin/sh\n[ \"$1 $2\" = \"-q present\" ]\n", 0755);
  }

  testing::TempDir dir_;
  ivo::TracerPtr tracer_ = testing::MakeRecordingTracer();
};

TEST_F(PackageQueryTest, OnlyAFullyInstalledPackageCounts) {
  const PackageQuery deb(tracer_, PackageDatabase::Deb, dir_ / "dpkg-query");
  const PackageQuery rpm(tracer_, PackageDatabase::Rpm, dir_ / "rpm");
  EXPECT_TRUE(deb.IsInstalled("present"));
  EXPECT_FALSE(deb.IsInstalled("removed"));
  EXPECT_FALSE(deb.IsInstalled("absent"));
  EXPECT_TRUE(rpm.IsInstalled("present"));
  EXPECT_FALSE(rpm.IsInstalled("absent"));
}

// The 64-bit agent lives below /opt/brevantis/qvnagent64, so without that directory the
// database is not asked; the 32-bit one ("qvnagent") may live anywhere.
TEST_F(PackageQueryTest, AgentPackageByBitness) {
  ASSERT_TRUE(testing::InsideSandbox());
  const Path agentDir = "/opt/brevantis/qvnagent64";
  ASSERT_FALSE(boost::filesystem::exists(agentDir));
  auto tracer = testing::MakeRecordingTracer();
  const PackageQuery deb(tracer, PackageDatabase::Deb, dir_ / "dpkg-query");
  EXPECT_TRUE(IsAgentInstalled(deb, 32));
  EXPECT_THAT(tracer->Texts(), ::testing::Contains("IsPackageInstalled: qvnagent installed"));
  tracer->Clear();
  EXPECT_FALSE(IsAgentInstalled(deb, 64));
  EXPECT_EQ(std::vector<std::string>{"IsAgentInstalled: Qvnagent is not installed"},
            tracer->Texts());
  boost::filesystem::create_directories(agentDir);
  EXPECT_TRUE(IsAgentInstalled(deb, 64));
  boost::filesystem::remove(agentDir);
}

TEST_F(PackageQueryTest, MissingToolMeansNotInstalled) {
  EXPECT_FALSE(
      PackageQuery(tracer_, PackageDatabase::Rpm, dir_ / "no-such-tool").IsInstalled("present"));
  EXPECT_FALSE(PackageQuery(tracer_, PackageDatabase::Deb, Path()).IsInstalled("present"));
}

}  // namespace
}  // namespace sov::supervisor
