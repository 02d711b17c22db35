#include "supervisor/common/error_guard.h"

#include "sov_common/enum_names.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace sov::supervisor {
namespace {

using sov::testing::MakeRecordingTracer;

TEST(ErrorGuardTest, TracesTheFailureAndGoesOn) {
  const auto tracer = MakeRecordingTracer();
  const Traceable tracing(tracer);
  int steps = 0;
  EXPECT_FALSE(RunGuarded(tracing, "RemovePreviousUpdates",
                          [] { throw std::runtime_error("Can't remove /x"); }));
  EXPECT_FALSE(RunGuarded(tracing, "ReloadConnectors", [] { throw 42; }));
  EXPECT_TRUE(RunGuarded(tracing, "RemoveDumps", [&] { ++steps; }));
  EXPECT_EQ(1, steps);
  EXPECT_EQ((std::vector<std::string>{"RemovePreviousUpdates: Can't remove /x",
                                      "ReloadConnectors: Unknown exception"}),
            tracer->TextsAt(kTraceError));
}

TEST(EnumNamesTest, OneRuleForValuesOutsideTheTable) {
  static constexpr std::array<const char*, 2> kNames = {"Off", "On"};
  EXPECT_EQ("On", sov::tools::EnumName(kNames, 1, "Switch"));
  EXPECT_EQ("EnumToString, invalid 'Switch' enum value: 2",
            sov::tools::EnumName(kNames, 2, "Switch"));
  EXPECT_EQ("EnumToString, invalid 'Switch' enum value: -1",
            sov::tools::EnumName(kNames, -1, "Switch"));
  enum class Switch { Off, On };
  EXPECT_EQ(Switch::On, sov::tools::EnumValue<Switch>(kNames, "On", "Switch"));
  EXPECT_THROW(
      {
        try {
          sov::tools::EnumValue<Switch>(kNames, "on", "Switch");
        } catch (const std::invalid_argument& error) {
          EXPECT_STREQ("StringToEnum, invalid 'Switch' enum name: on", error.what());
          throw;
        }
      },
      std::invalid_argument);
}

}  // namespace
}  // namespace sov::supervisor
