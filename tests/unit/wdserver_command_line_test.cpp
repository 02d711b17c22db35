#include "supervisor/launcher/wdserver_command_line.h"

#include "supervisor/launcher/product_limits.h"
#include "tests/unit/test_support.h"

#include <boost/property_tree/ptree.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace sov::supervisor {
namespace {

using ::testing::ElementsAreArray;
namespace pt = boost::property_tree;

class WdServerCommandLineTest : public ::testing::Test {
 protected:
  WdServerCommandLineTest() {
    inputs_.current = ProductPaths(nullptr).Current();
    inputs_.serverLog = "/var/log/brevantis/tarn/tarn_wdserver.log";
    inputs_.healthLog = "/var/opt/brevantis/tarn/private/tarn_health.log";
    inputs_.memoryLimit = "highest/2048MB/50%";
    inputs_.startupMode = ProductStartupMode::Upgrade;
    inputs_.root = true;
    inputs_.term = "linux";
  }
  std::vector<std::string> Arguments(const pt::ptree& ini) {
    return WdServerArguments(tracing_, ini, inputs_);
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  Traceable tracing_{tracer_};
  WdServerInputs inputs_;
};

TEST_F(WdServerCommandLineTest, DefaultsInTheServersOrder) {
  const std::string current = "/var/opt/brevantis/tarn/install-current/opt/brevantis/tarn/libexec/";
  EXPECT_THAT(Arguments({}),
              ElementsAreArray<std::string>({current + "wdserver",
                                             "--trace-level",
                                             "0",
                                             "--trace-file",
                                             "/var/log/brevantis/tarn/tarn_wdserver.log",
                                             "--trace-max-file-size",
                                             "100MB",
                                             "--trace-max-file-count",
                                             "5",
                                             "--failed-kill",
                                             "NONE",
                                             "--wdsock",
                                             "/var/run/wdserver.sock",
                                             "--coredump-signal",
                                             "5",
                                             "--shutdown-signal",
                                             "15",
                                             "--headshot-signal",
                                             "5",
                                             "--umask",
                                             "63",
                                             "-p",
                                             "/var/run/wdserver.pid",
                                             "--n-restart",
                                             "5",
                                             "--activity-timeout",
                                             "2m",
                                             "--startup-timeout",
                                             "3m",
                                             "--register-timeout",
                                             "500ms",
                                             "--master-timeout",
                                             "3m",
                                             "--timeout-after-coredump-signal",
                                             "2m",
                                             "--timeout-after-shutdown-signal",
                                             "2m",
                                             "--timeout-after-headshot-signal",
                                             "2m",
                                             "--timeout-after-kill-signal",
                                             "2d",
                                             "--max-used-mem",
                                             "highest/2048MB/50%",
                                             "--max-used-vmem",
                                             "off",
                                             "--max-used-swap",
                                             "off",
                                             "--syscall-probe-period",
                                             "3s",
                                             "--syscall-check-period",
                                             "32s",
                                             "--worklog",
                                             "/var/opt/brevantis/tarn/private/tarn_health.log",
                                             "--worklog-period",
                                             "7200s",
                                             "--syscall-hangs",
                                             "--env",
                                             "SOV_STARTUP_MODE=2",
                                             "--env",
                                             "TERM=linux",
                                             "-d",
                                             "-e",
                                             current + "tarn-starter"}));
  EXPECT_TRUE(tracer_->Texts().empty());
}

TEST_F(WdServerCommandLineTest, IniValuesAndEnvironment) {
  pt::ptree ini;
  ini.put("TraceLevel", "Detailed");
  ini.put("Watchdog.MaxRestartCount", "9");
  ini.put("Watchdog.TimeoutAfterKill", "1h");
  ini.put("Watchdog.SyscallHangCheckPeriod", "1m");
  ini.put("Watchdog.WarnThreshold", "60");
  ini.put("Environment.LD_PRELOAD", "");
  ini.put("General.StartupTraces", "Yes");
  inputs_.root = false;
  inputs_.term.reset();
  inputs_.startupMode = ProductStartupMode::Install;
  const auto arguments = Arguments(ini);
  const std::vector<std::string> tail(arguments.end() - 17, arguments.end() - 2);
  EXPECT_THAT(tail, ElementsAreArray<std::string>(
                        {"--syscall-check-period", "1m", "--worklog",
                         "/var/opt/brevantis/tarn/private/tarn_health.log", "--worklog-period",
                         "120s", "--env", "SOV_STARTUP_MODE=1", "--env", "LD_PRELOAD=", "--env",
                         "SOV_STARTUP_TRACES=1", "--env", "TERM=xterm", "-d"}));
  EXPECT_EQ("800", arguments[2]);
  EXPECT_EQ("9", arguments[24]);
  EXPECT_EQ("1h", arguments[40]);
  EXPECT_THAT(tracer_->Texts(), ElementsAreArray<std::string>(
                                    {"StartProduct: Enable startup traces",
                                     "StartProduct: TERM is not defined - setting TERM=xterm"}));
}

TEST_F(WdServerCommandLineTest, BadValuesStopTheStart) {
  const struct {
    const char* key;
    const char* value;
    const char* error;
  } cases[] = {
      {"Watchdog.WarnThreshold", "soon", "stoul"},
      {"Watchdog.WarnThreshold", "s3600", "stoul"},
      {"Watchdog.WarnThreshold", "", "stoul"},
      {"Watchdog.WarnThreshold", "-1", "stoul"},  // would wrap round to a huge period
      {"Watchdog.WarnThreshold", "18446744073709551616", "stoul"},  // does not fit
      {"Watchdog.WarnThreshold", "18446744073709551615", "stoul"},  // its double does not
      {"TraceLevel", "Verbose", "StringToEnum, invalid 'TraceLevel' enum name: Verbose"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    pt::ptree ini;
    ini.put(c.key, c.value);
    try {
      Arguments(ini);
      FAIL() << "no exception";
    } catch (const std::logic_error& error) {
      EXPECT_STREQ(c.error, error.what());
    }
  }
}

// The conversion reads the leading number, as stoul does, and says what it left.
TEST_F(WdServerCommandLineTest, WarnThresholdIsItsLeadingNumber) {
  const struct {
    const char* value;
    const char* period;
    const char* ignored;  // the trace's tail; empty: nothing was ignored
  } cases[] = {
      {"60", "120s", ""},
      {" +60", "120s", ""},
      {"3600s", "7200s", "ignoring \"s\" after the number"},
      {"60 ; one minute", "120s", "ignoring \" ; one minute\" after the number"},
      {"007", "14s", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    tracer_->Clear();
    pt::ptree ini;
    ini.put("Watchdog.WarnThreshold", c.value);
    EXPECT_EQ(c.period, WorklogPeriod(Traceable(tracer_), ini));
    if (*c.ignored == '\0') {
      EXPECT_TRUE(tracer_->TextsAt(kTraceWarning).empty());
    } else {
      EXPECT_THAT(
          tracer_->TextsAt(kTraceWarning),
          ElementsAreArray<std::string>({std::string("StartProduct: Watchdog.WarnThreshold=\"") +
                                         c.value + "\": " + c.ignored}));
    }
  }
}

// A stop waits for the server as long as the server gives the product, plus its own end;
// a value the server could not read counts as its default of two minutes.
TEST_F(WdServerCommandLineTest, StopGraceFollowsTheShutdownTimeout) {
  using std::chrono::milliseconds;
  const struct {
    const char* value;  // nullptr: the key is absent
    milliseconds timeout;
  } cases[] = {
      {nullptr, milliseconds(120000)}, {"2m", milliseconds(120000)},
      {"500ms", milliseconds(500)},    {"45s", milliseconds(45000)},
      {"45", milliseconds(45000)},     {"1h", milliseconds(3600000)},
      {"1d", milliseconds(86400000)},  {"", milliseconds(120000)},
      {"m", milliseconds(120000)},     {"-5s", milliseconds(120000)},
      {"5 s", milliseconds(120000)},   {"99999999999d", milliseconds(120000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(absent)");
    pt::ptree ini;
    if (c.value != nullptr) {
      ini.put("Watchdog.TimeoutAfterShutdown", c.value);
    }
    EXPECT_EQ(c.timeout.count(), ShutdownTimeout(ini).count());
    EXPECT_EQ(c.timeout.count() + 10000, ServerStopGrace(ini).count());
  }
}

TEST(ProductLimitsTest, MemoryLimitByRam) {
  EXPECT_EQ("highest/2048MB/50%", MemoryLimitForRam(16ULL << 30));
  EXPECT_EQ("highest/2048MB/50%", MemoryLimitForRam((32ULL << 30) - 1));
  EXPECT_EQ("16384MB", MemoryLimitForRam(32ULL << 30));
  pt::ptree ini;
  ini.put("Watchdog.MaxMemory", "1024MB");
  auto tracer = testing::MakeRecordingTracer();
  EXPECT_EQ("1024MB", EvaluateMemoryLimit(Traceable(tracer), ini));
  EXPECT_THAT(tracer->Texts(), ElementsAreArray<std::string>(
                                   {"StartProduct: Limit of RAM consumed by product: 1024MB"}));
}

TEST(ProductLimitsTest, NoFileTarget) {
  EXPECT_EQ(1048576u, NoFileTarget(rlimit{1024, 4096}, 1048576));
  EXPECT_EQ(4096u, NoFileTarget(rlimit{1024, 4096}, std::nullopt));
  EXPECT_EQ(524288u, NoFileTarget(std::nullopt, 524288));
  EXPECT_EQ(0u, NoFileTarget(std::nullopt, std::nullopt));  // then nothing is set
  EXPECT_EQ(2097152u, NoFileTarget(rlimit{2097152, 2097152}, 1048576));
}

}  // namespace
}  // namespace sov::supervisor
