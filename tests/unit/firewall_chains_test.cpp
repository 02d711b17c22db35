#include "supervisor/common/system/firewall_chains.h"

#include "tests/unit/hidden_tool.h"
#include "tests/unit/test_support.h"

#include <boost/algorithm/string/join.hpp>
#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using ::testing::Contains;
using ::testing::ElementsAreArray;

TEST(CountJumpsTest, CountsNumberedRulesWhoseTargetIsTheChain) {
  const struct {
    const char* line;
    std::size_t jumps;
    const char* why;
  } cases[] = {
      {"1    tarn_bypass  all  --  0.0.0.0/0            0.0.0.0/0", 1, "a jump"},
      {"12   tarn_bypass  tcp  --  10.0.0.0/8  0.0.0.0/0  tcp dpt:22", 1, "a jump with a match"},
      {"Chain OUTPUT (policy ACCEPT)", 0, "chain header"},
      {"Chain tarn_bypass (2 references)", 0, "header of the product chain itself"},
      {"num  target     prot opt source               destination", 0, "column header"},
      {"2    ACCEPT     all  --  0.0.0.0/0            0.0.0.0/0", 0, "verdict"},
      {"3    tarn_bypass_old  all  --  0.0.0.0/0  0.0.0.0/0", 0, "another chain, same prefix"},
      {"4    guard      all  --  0.0.0.0/0  0.0.0.0/0  /* tarn_bypass */", 0, "name in a comment"},
      {"5               all  --  0.0.0.0/0  0.0.0.0/0", 0, "rule without a target"},
      {"tarn_bypass  all  --  0.0.0.0/0  0.0.0.0/0", 0, "listing without numbers"},
      {"x1   tarn_bypass  all", 0, "no rule number"},
      {"-1   tarn_bypass  all", 0, "signed number"},
      {"6", 0, "number alone"},
      {"", 0, "empty line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.jumps, CountJumps(c.line, "tarn_bypass"));
  }
  EXPECT_EQ(2u, CountJumps("Chain OUTPUT (policy ACCEPT)\n"
                           "num  target     prot opt source               destination\n"
                           "1    tarn_bypass  all  --  0.0.0.0/0  0.0.0.0/0\n"
                           "2    ACCEPT     all  --  0.0.0.0/0  0.0.0.0/0\n"
                           "3    tarn_bypass  all  --  0.0.0.0/0  0.0.0.0/0",
                           "tarn_bypass"));
}

// Real iptables and ip6tables in the sandbox's private network namespace, with empty
// tables at the start and end of every test.
class FirewallChainsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    for (const char* tool : {"iptables", "ip6tables"}) {
      if (!fs::exists(fs::path(std::getenv("LAUNCHER_SANDBOX")) / "real" / tool)) {
        GTEST_SKIP() << "skipped: the sandbox has no real " << tool;
      }
      for (const char* table : {"filter", "mangle"}) {
        if (CmdObject(nullptr).SetArgs(tool, "-t", table, "-S")().code != 0) {
          GTEST_SKIP() << "skipped: the kernel lacks the " << table << " table for " << tool;
        }
      }
    }
    EmptyTables();
    testing::ClearRecordedCalls();
  }
  void TearDown() override { EmptyTables(); }

  static void EmptyTables() {
    for (const char* tool : {"iptables", "ip6tables"}) {
      for (const char* table : {"filter", "mangle"}) {
        Run({tool, "-t", table, "-F"});
        Run({tool, "-t", table, "-X"});
      }
    }
  }

  static void Run(const CmdObject::Arguments& arguments) {
    CmdObject(nullptr).SetArgs(arguments)().Check();
  }

  static std::string Rules(const char* tool, const char* table) {
    std::ostringstream rules;
    CmdObject(nullptr)
        .SetArgs(tool, "-t", table, "-S")
        .SetOutput(CmdObject::MakeSink(rules))()
        .Check();
    return rules.str();
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  Utils utils_{tracer_};
};

TEST_F(FirewallChainsTest, WithoutProductChainsEveryRunFailsQuietly) {
  RemoveTarnBypassFirewallChain(utils_);
  std::vector<std::string> expected;
  for (const char* tool : {"iptables", "ip6tables"}) {
    for (const std::string call :
         {" -t mangle -L PREROUTING --line-numbers -n", " -t mangle -L OUTPUT --line-numbers -n",
          " -t mangle -F tarn_bypass", " -t mangle -X tarn_bypass",
          " -t filter -L INPUT --line-numbers -n", " -t filter -F tarn_input_isolation",
          " -t filter -X tarn_input_isolation", " -t filter -L OUTPUT --line-numbers -n",
          " -t filter -F tarn_output_isolation", " -t filter -X tarn_output_isolation",
          " -t filter -L FORWARD --line-numbers -n", " -t filter -F tarn_forward_isolation",
          " -t filter -X tarn_forward_isolation"}) {
      expected.push_back(tool + call);
    }
  }
  EXPECT_THAT(testing::RecordedCalls(), ElementsAreArray(expected));
  EXPECT_THAT(tracer_->Texts(),
              Contains("RemoveTarnBypassFirewallChain: Found 0 rules in OUTPUT for tarn_bypass"));
  // A chain that is not there is the answer of a host that was never isolated: nothing
  // for an administrator who searches the trace for errors.
  EXPECT_THAT(tracer_->TextsAt(kTraceError), ::testing::IsEmpty());
  EXPECT_THAT(tracer_->Texts(),
              Contains(::testing::EndsWith("/iptables -t mangle -X tarn_bypass' answered with exit "
                                           "code 1")));
}

TEST_F(FirewallChainsTest, RemovesTheProductChainsAndTheirJumpsOnly) {
  for (const char* tool : {"iptables", "ip6tables"}) {
    Run({tool, "-t", "mangle", "-N", "tarn_bypass"});
    Run({tool, "-t", "mangle", "-A", "tarn_bypass", "-j", "ACCEPT"});
    Run({tool, "-t", "mangle", "-A", "PREROUTING", "-j", "tarn_bypass"});
    Run({tool, "-t", "mangle", "-A", "OUTPUT", "-j", "tarn_bypass"});
    Run({tool, "-t", "mangle", "-A", "OUTPUT", "-j", "ACCEPT"});
    Run({tool, "-t", "mangle", "-A", "OUTPUT", "-j", "tarn_bypass"});
    for (const auto& [hook, chain] :
         {std::pair{"INPUT", "tarn_input_isolation"}, std::pair{"OUTPUT", "tarn_output_isolation"},
          std::pair{"FORWARD", "tarn_forward_isolation"}}) {
      Run({tool, "-t", "filter", "-N", chain});
      Run({tool, "-t", "filter", "-A", chain, "-j", "DROP"});
      Run({tool, "-t", "filter", "-A", hook, "-j", chain});
    }
    // Another program's chain, hooked in the same places.
    Run({tool, "-t", "filter", "-N", "guard"});
    Run({tool, "-t", "filter", "-A", "guard", "-j", "RETURN"});
    Run({tool, "-t", "filter", "-A", "INPUT", "-j", "guard"});
    Run({tool, "-t", "mangle", "-N", "guard"});
    Run({tool, "-t", "mangle", "-A", "OUTPUT", "-j", "guard"});
  }
  testing::ClearRecordedCalls();

  RemoveTarnBypassFirewallChain(utils_);

  for (const char* tool : {"iptables", "ip6tables"}) {
    SCOPED_TRACE(tool);
    EXPECT_EQ(
        "-P PREROUTING ACCEPT\n-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n"
        "-P POSTROUTING ACCEPT\n-N guard\n-A OUTPUT -j ACCEPT\n-A OUTPUT -j guard\n",
        Rules(tool, "mangle"));
    EXPECT_EQ(
        "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n-N guard\n-A INPUT -j guard\n"
        "-A guard -j RETURN\n",
        Rules(tool, "filter"));
  }
  const auto calls = testing::RecordedCalls();
  EXPECT_EQ(2,
            std::count(calls.begin(), calls.end(), "iptables -t mangle -D OUTPUT -j tarn_bypass"));
  EXPECT_EQ(1, std::count(calls.begin(), calls.end(),
                          "ip6tables -t filter -D FORWARD -j tarn_forward_isolation"));
  EXPECT_THAT(tracer_->Texts(),
              Contains("RemoveTarnBypassFirewallChain: Found 2 rules in OUTPUT for tarn_bypass"));
  EXPECT_THAT(
      tracer_->Texts(),
      Contains("RemoveTarnBypassFirewallChain: Found 1 rules in PREROUTING for tarn_bypass"));
  EXPECT_TRUE(tracer_->TextsAt(kTraceError).empty())
      << boost::algorithm::join(tracer_->Texts(), "\n");
}

TEST_F(FirewallChainsTest, MissingToolEndsTheCleanUpWithAnError) {
  const testing::HiddenTool hidden("ip6tables");
  try {
    RemoveTarnBypassFirewallChain(utils_);
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("ip6tables not found", error.what());
  }
  // The IPv4 clean-up ran before.
  EXPECT_EQ(13u, testing::RecordedCalls().size());
}

}  // namespace
}  // namespace sov::supervisor
