#include "supervisor/common/system/service.h"

#include "sov_common/init_system.h"
#include "supervisor/common/system/init_service.h"
#include "supervisor/common/system/systemd_service.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace sov::supervisor {
namespace {

using ::testing::ElementsAre;

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    testing::ClearRecordedCalls();
    // These tests are about the command lines: the sandbox's real service and update-rc.d
    // would act on a product that is not installed here.
    for (const char* tool : {"service", "update-rc.d"}) {
      testing::SetStandinAnswer(tool, "exit 0\n");
    }
  }
  void TearDown() override {
    for (const char* tool : {"systemctl", "service", "chkconfig", "update-rc.d"}) {
      testing::ClearStandinAnswer(tool);
    }
  }

  ivo::TracerPtr tracer_ = testing::MakeRecordingTracer();
};

// The unit tests run once under each init system: the service takes the form of the one
// in charge, whatever tools are installed.
TEST_F(ServiceTest, CommandLinesOfTheInitSystemInCharge) {
  Service service(tracer_, "tarn");
  service.Start();
  service.Stop();
  service.Restart();
  service.RestartAsync();
  service.TryRestart();
  EXPECT_TRUE(service.IsActive());
  if (IsSystemd()) {
    EXPECT_THAT(service.RestartCommand(), ElementsAre("/usr/bin/systemctl", "restart", "tarn"));
    EXPECT_THAT(testing::RecordedCalls(),
                ElementsAre("systemctl start tarn", "systemctl stop tarn", "systemctl restart tarn",
                            "systemctl --no-block restart tarn", "systemctl try-restart tarn",
                            "systemctl status tarn"));
  } else {
    EXPECT_THAT(service.RestartCommand(), ElementsAre("/usr/sbin/service", "tarn", "restart"));
    EXPECT_THAT(testing::RecordedCalls(),
                ElementsAre("service tarn start", "service tarn stop", "service tarn restart",
                            "service tarn restart", "service tarn restart", "service tarn status"));
  }
}

TEST_F(ServiceTest, EnablerOfTheInitSystemInCharge) {
  // Both chkconfig and update-rc.d are installed in the sandbox: chkconfig is preferred.
  Service service(tracer_, "tarn");
  testing::SetStandinAnswer("systemctl", "[[ $1 != is-enabled ]]\n");
  service.Enable();
  service.Disable();
  if (IsSystemd()) {
    EXPECT_THAT(testing::RecordedCalls(),
                ElementsAre("systemctl is-enabled tarn", "systemctl enable tarn",
                            "systemctl is-enabled tarn"));
  } else {
    EXPECT_THAT(testing::RecordedCalls(),
                ElementsAre("chkconfig --add tarn", "chkconfig --del tarn"));
  }
}

TEST_F(ServiceTest, SystemctlEnablerAsksFirst) {
  Systemctl enabler(tracer_, "/usr/bin/systemctl");
  enabler.Enable("tarn");   // already enabled: only asked
  enabler.Disable("tarn");  // enabled: disabled
  testing::SetStandinAnswer("systemctl", "[[ $1 != is-enabled ]]\n");
  enabler.Disable("tarn");  // already disabled: only asked
  enabler.Enable("tarn");   // disabled: enabled
  EXPECT_THAT(testing::RecordedCalls(),
              ElementsAre("systemctl is-enabled tarn", "systemctl is-enabled tarn",
                          "systemctl disable tarn", "systemctl is-enabled tarn",
                          "systemctl is-enabled tarn", "systemctl enable tarn"));
}

// systemctl's answer for a unit linked to /dev/null in /etc (masked) or below /run
// (masked-runtime): "systemctl enable" would fail on it, and the mask is the administrator's.
TEST_F(ServiceTest, SystemctlNeverEnablesAMaskedUnit) {
  const struct {
    const char* answer;
    int code;
    bool masked;
    std::vector<std::string> calls;
  } cases[] = {
      {"masked", 1, true, {"systemctl is-enabled tarn"}},
      {"masked-runtime", 1, true, {"systemctl is-enabled tarn"}},
      {"disabled", 1, false, {"systemctl is-enabled tarn", "systemctl enable tarn"}},
      {"enabled", 0, false, {"systemctl is-enabled tarn"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    testing::ClearRecordedCalls();
    testing::SetStandinAnswer("systemctl", Concat("[[ $1 != is-enabled ]] || { echo ", c.answer,
                                                  "; exit ", c.code, "; }\n"));
    const auto tracer = testing::MakeRecordingTracer();
    Systemctl enabler(tracer, "/usr/bin/systemctl");
    EXPECT_EQ(c.masked, enabler.IsMasked("tarn"));
    testing::ClearRecordedCalls();
    EXPECT_EQ(!c.masked, enabler.Enable("tarn"));
    enabler.Disable("tarn");  // never disables what is not enabled
    auto calls = c.calls;
    calls.emplace_back("systemctl is-enabled tarn");
    if (c.code == 0) {
      calls.emplace_back("systemctl disable tarn");
    }
    EXPECT_EQ(calls, testing::RecordedCalls());
    // Each state is an answer: none is traced as an error.
    EXPECT_THAT(tracer->TextsAt(kTraceError), ::testing::IsEmpty());
    const auto warnings = tracer->TextsAt(kTraceWarning);
    if (c.masked) {
      EXPECT_THAT(warnings,
                  ElementsAre("Enable: Service tarn is masked; it stays masked, not enabled"));
    } else {
      EXPECT_THAT(warnings, ::testing::IsEmpty());
    }
  }
}

TEST_F(ServiceTest, SysVEnablers) {
  ChkConfig(tracer_, "/usr/sbin/chkconfig").Enable("tarn");
  UpdateRcD(tracer_, "/usr/sbin/update-rc.d").Enable("tarn");
  UpdateRcD(tracer_, "/usr/sbin/update-rc.d").Disable("tarn");
  EXPECT_THAT(
      testing::RecordedCalls(),
      ElementsAre("chkconfig --add tarn", "update-rc.d tarn start 50 2 3 4 5 . stop 30 0 1 6 .",
                  "update-rc.d -f tarn remove"));
}

TEST_F(ServiceTest, FailuresThrowExceptForQueriesAndTryRestart) {
  for (const char* tool : {"systemctl", "service", "chkconfig", "update-rc.d"}) {
    testing::SetStandinAnswer(tool, "exit 3\n");
  }
  auto systemd = std::make_unique<SystemdService>(
      tracer_, "tarn", std::make_unique<ChkConfig>(tracer_, "/usr/sbin/chkconfig"),
      "/usr/bin/systemctl");
  auto sysv = std::make_unique<InitService>(
      tracer_, "tarn", std::make_unique<UpdateRcD>(tracer_, "/usr/sbin/update-rc.d"),
      "/usr/sbin/service");
  std::vector<Service> services;
  services.emplace_back(std::move(systemd));
  services.emplace_back(std::move(sysv));
  for (auto& service : services) {
    EXPECT_FALSE(service.IsActive());
    EXPECT_NO_THROW(service.TryRestart());
    EXPECT_THROW(service.Start(), std::runtime_error);
    EXPECT_THROW(service.Stop(), std::runtime_error);
    EXPECT_THROW(service.Restart(), std::runtime_error);
    EXPECT_THROW(service.RestartAsync(), std::runtime_error);
    EXPECT_THROW(service.Enable(), std::runtime_error);
    EXPECT_THROW(service.Disable(), std::runtime_error);
  }
  try {
    Service(tracer_, "tarn").Start();
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(IsSystemd() ? "Cmd: /usr/bin/systemctl start tarn failed with exit code 3"
                             : "Cmd: /usr/sbin/service tarn start failed with exit code 3",
                 error.what());
  }
}

}  // namespace
}  // namespace sov::supervisor
