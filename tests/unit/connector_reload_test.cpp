#include "supervisor/common/system/connector_reload.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using ::testing::ElementsAre;

class ConnectorReloadTest : public ::testing::Test {
 protected:
  // A child that stands for the agent: it exits 0 on SIGHUP and 1 after a while.
  // Returns once the agent's handler is in place.
  pid_t StartAgent() {
    int ready[2];
    EXPECT_EQ(0, pipe(ready));
    const pid_t pid = fork();
    if (pid == 0) {
      signal(SIGHUP, [](int) { _exit(0); });
      (void)!write(ready[1], "r", 1);
      sleep(10);
      _exit(1);
    }
    char byte = 0;
    (void)!read(ready[0], &byte, 1);
    close(ready[0]);
    close(ready[1]);
    return pid;
  }
  // The agent's exit status: 0 when it got SIGHUP.
  static int Reap(pid_t pid, bool hangUpExpected) {
    if (!hangUpExpected) {
      kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  testing::TempDir dir_;
  const Path pidFile_ = dir_ / "qvnagent.pid";
  const Path marker_ = dir_ / "disable_reload_connectors";
  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  ConnectorReload reload_{tracer_, pidFile_};
};

TEST_F(ConnectorReloadTest, SignalsTheAgentUnlessDisabled) {
  const pid_t agent = StartAgent();
  testing::WriteFile(pidFile_, std::to_string(agent) + "\n");
  reload_.Disable(marker_);
  reload_.Disable(marker_);  // a second time finds the file and succeeds
  EXPECT_EQ(0u, fs::status(marker_).permissions());
  reload_.Reload(marker_);
  reload_.Enable(marker_);
  EXPECT_FALSE(fs::exists(marker_));
  reload_.Reload(marker_);
  EXPECT_EQ(0, Reap(agent, true));
  EXPECT_THAT(
      tracer_->Texts(),
      ElementsAre("DisableReloadConnectors() ", "DisableReloadConnectors() <- ",
                  "DisableReloadConnectors() ", "DisableReloadConnectors() <- ",
                  "ReloadConnectors() ", "ReloadConnectors: Reload of connectors is disabled",
                  "EnableReloadConnectors() ", "Remove: " + marker_.string() + " removed",
                  "ReloadConnectors() ",
                  "ReloadConnectors: qvnagent pid = " + std::to_string(agent),
                  "ReloadConnectors() <- Reload connectors triggered"));
}

TEST_F(ConnectorReloadTest, AgentProblemsAreTracedOnly) {
  const struct {
    const char* content;  // nullptr: no pid file
    std::string trace;
    TraceLevel level;
  } cases[] = {
      {nullptr, "ReloadConnectors: Qvnagent is not running", kTraceDebug},
      {"agent\n", "ReloadConnectors: Cannot read value from pid-file " + pidFile_.string(),
       kTraceError},
      // 0 and -1 would hang up our own process group or every process.
      {"0\n", "ReloadConnectors: Cannot read value from pid-file " + pidFile_.string(),
       kTraceError},
      {"-1\n", "ReloadConnectors: Cannot read value from pid-file " + pidFile_.string(),
       kTraceError},
      {"2147483646\n", "ReloadConnectors: Cannot send SIGHUP to process. Reason: No such process",
       kTraceError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content ? c.content : "(no file)");
    fs::remove(pidFile_);
    if (c.content) {
      testing::WriteFile(pidFile_, c.content);
    }
    tracer_->Clear();
    reload_.Reload(marker_);
    ASSERT_FALSE(tracer_->Lines().empty());
    EXPECT_EQ(c.trace, tracer_->Lines().back().text);
    EXPECT_EQ(c.level, tracer_->Lines().back().level);
  }
}

TEST_F(ConnectorReloadTest, MarkerThatCannotBeCreatedIsTraced) {
  const Path marker = dir_ / "missing-dir" / "disable_reload_connectors";
  reload_.Disable(marker);
  EXPECT_EQ("DisableReloadConnectors: Cannot create " + marker.string() +
                ". Reason: No such file or directory",
            tracer_->TextsAt(kTraceError).at(0));
}

}  // namespace
}  // namespace sov::supervisor
