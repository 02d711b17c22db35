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
  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
};

TEST_F(PackageQueryTest, OnlyAFullyInstalledPackageCounts) {
  const PackageQuery deb(tracer_, PackageDatabase::Deb, dir_ / "dpkg-query");
  const PackageQuery rpm(tracer_, PackageDatabase::Rpm, dir_ / "rpm");
  EXPECT_TRUE(deb.IsInstalled("present"));
  EXPECT_FALSE(deb.IsInstalled("removed"));
  EXPECT_FALSE(deb.IsInstalled("absent"));
  EXPECT_TRUE(rpm.IsInstalled("present"));
  EXPECT_FALSE(rpm.IsInstalled("absent"));
  // A package that is not installed is an answer, not an error.
  EXPECT_THAT(tracer_->TextsAt(kTraceError), ::testing::IsEmpty());
}

// Either package is the agent, whatever the system's word size. A query is made only for
// a package that may be installed: "qvnagent64" lives below /opt/brevantis/qvnagent64,
// and dpkg keeps an info file for every package it has unpacked.
TEST_F(PackageQueryTest, AgentPackageByBitness) {
  ASSERT_TRUE(testing::InsideSandbox());
  const Path agentDir = "/opt/brevantis/qvnagent64";
  ASSERT_FALSE(boost::filesystem::exists(agentDir));
  testing::WriteFile(dir_ / "dpkg" / "arch", "amd64\ni386\n");
  const struct {
    const char* installed;  // the one package dpkg-query knows
    const char* infoFile;   // below dpkg/info
    int bitness;
    bool agentDir;
    bool expected;
    std::vector<std::string> queried;
  } cases[] = {
      {"qvnagent", "qvnagent.list", 64, false, true, {"qvnagent"}},
      {"qvnagent", "qvnagent:i386.list", 64, false, true, {"qvnagent"}},
      {"qvnagent", "qvnagent:armhf.list", 64, false, false, {}},
      {"qvnagent64", "qvnagent64.list", 64, false, false, {}},
      {"qvnagent64", "qvnagent64.list", 64, true, true, {"qvnagent64"}},
      {"qvnagent", "qvnagent.list", 32, false, true, {"qvnagent"}},
      {"qvnagent64", "qvnagent64.list", 32, false, true, {"qvnagent64"}},
      {"other", "qvnagent.list", 64, true, false, {"qvnagent", "qvnagent64"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Concat(c.installed, " (", c.infoFile, ") on ", c.bitness, " bits",
                        c.agentDir ? " with " : " without ", agentDir));
    testing::WriteFile(
        dir_ / "dpkg-query",
        Concat("#!/bin/sh\necho \"$3\" >>", (dir_ / "queried").string(),
               "\n[ \"$3\" = ", c.installed, " ] && printf 'install ok installed'\n"),
        0755);
    boost::filesystem::remove_all(dir_ / "dpkg" / "info");
    testing::WriteFile(dir_ / "dpkg" / "info" / c.infoFile, "");
    boost::filesystem::remove(dir_ / "queried");
    if (c.agentDir) {
      boost::filesystem::create_directories(agentDir);
    }
    const PackageQuery deb(tracer_, PackageDatabase::Deb, dir_ / "dpkg-query", dir_ / "dpkg");
    EXPECT_EQ(c.expected, IsAgentInstalled(deb, c.bitness));
    boost::filesystem::remove(agentDir);
    std::string queried;
    for (const auto& package : c.queried) {
      queried += package + "\n";
    }
    EXPECT_EQ(queried, boost::filesystem::exists(dir_ / "queried")
                           ? testing::ReadFile(dir_ / "queried")
                           : std::string());
  }
}

TEST_F(PackageQueryTest, MissingToolMeansNotInstalled) {
  EXPECT_FALSE(
      PackageQuery(tracer_, PackageDatabase::Rpm, dir_ / "no-such-tool").IsInstalled("present"));
  EXPECT_FALSE(PackageQuery(tracer_, PackageDatabase::Deb, Path()).IsInstalled("present"));
}

}  // namespace
}  // namespace sov::supervisor
