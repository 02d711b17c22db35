#include "supervisor/common/process/termination_signals.h"

#include "supervisor/common/process/cmd.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;

// A launcher-like process: it watches the signals, then runs `script` through CmdObject and
// waits for it. Returns the process's wait status once `signal` was sent to it after
// `ready` appeared (the child's handshake; it never appears when there is no child).
class TerminationSignalsTest : public ::testing::Test {
 protected:
  int RunAndSignal(const std::string& script, int signal, bool withChild) {
    const pid_t run = fork();
    if (run == 0) {
      const TerminationSignals watch(
          [this](int received) { testing::WriteFile(dir_ / "report", std::to_string(received)); });
      if (withChild) {
        CmdObject(nullptr).SetArgs("/bin/sh", "-c", script)();
      } else {
        testing::WriteFile(dir_ / "ready", "");
        pause();
      }
      _exit(0);  // not reached: the signal ends the process first
    }
    for (int waited = 0; !fs::exists(dir_ / "ready"); ++waited) {
      if (waited == 120000) {  // two minutes: the handshake never came
        kill(run, SIGKILL);
        waitpid(run, nullptr, 0);
        return -1;
      }
      usleep(1000);
    }
    kill(run, signal);
    int status = 0;
    waitpid(run, &status, 0);
    return status;
  }

  testing::TempDir dir_;
};

// The running child gets SIGTERM and is waited for; the process reports the signal and
// exits with 128 + its number instead of dying silently. The child itself started with
// default signal handling, although the signals are blocked in the launcher.
TEST_F(TerminationSignalsTest, StopsTheRunningChildAndFails) {
  const std::string out = dir_.path().string();
  const std::string script = "grep -E '^Sig(Blk|Ign)' /proc/self/status > " + out +
                             "/signals\n"
                             "trap 'kill $!; echo stopped > " +
                             out +
                             "/child; exit 1' TERM\n"
                             "sleep 600 & : > " +
                             out + "/ready\nwait $!\n";
  const int status = RunAndSignal(script, SIGTERM, true);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(128 + SIGTERM, WEXITSTATUS(status));
  EXPECT_EQ(std::to_string(SIGTERM), testing::ReadFile(dir_ / "report"));
  EXPECT_EQ("stopped\n", testing::ReadFile(dir_ / "child"));
  EXPECT_EQ("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n",
            testing::ReadFile(dir_ / "signals"));
}

TEST_F(TerminationSignalsTest, EndsAtOnceWithoutAChild) {
  for (const int signal : {SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    fs::remove(dir_ / "ready");
    const int status = RunAndSignal("", signal, false);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(128 + signal, WEXITSTATUS(status));
    EXPECT_EQ(std::to_string(signal), testing::ReadFile(dir_ / "report"));
  }
}

}  // namespace
}  // namespace sov::supervisor
