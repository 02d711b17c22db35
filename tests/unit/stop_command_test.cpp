#include "supervisor/launcher/stop_command.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sov::supervisor {
namespace {

// A child that is not reaped stays a zombie, which signal 0 still finds: the process
// that is stopped here is a grandchild, reparented away from the test.
pid_t StartDetached(bool ignoreTerm) {
  int channel[2];
  EXPECT_EQ(0, pipe(channel));
  const pid_t middle = fork();
  if (middle == 0) {
    const pid_t worker = fork();
    if (worker == 0) {
      if (ignoreTerm) {
        signal(SIGTERM, SIG_IGN);
      }
      pause();
      _exit(0);
    }
    (void)!write(channel[1], &worker, sizeof worker);
    _exit(0);
  }
  pid_t worker = 0;
  EXPECT_EQ(static_cast<ssize_t>(sizeof worker), read(channel[0], &worker, sizeof worker));
  waitpid(middle, nullptr, 0);
  close(channel[0]);
  close(channel[1]);
  usleep(50000);  // the worker has set up its signals
  return worker;
}

TEST(StopProcessTest, WaitsUntilTheProcessHasGone) {
  const pid_t worker = StartDetached(false);
  EXPECT_TRUE(StopProcess(worker));
  EXPECT_NE(0, kill(worker, 0));
  // Gone before the signal: not an error.
  EXPECT_TRUE(StopProcess(worker));
}

TEST(StopProcessTest, ServerIgnoringTermIsWaitedForUpToTheLimit) {
  const pid_t worker = StartDetached(true);
  EXPECT_FALSE(StopProcess(worker, std::chrono::milliseconds(300)));
  EXPECT_EQ(0, kill(worker, 0));
  kill(worker, SIGKILL);
}

}  // namespace
}  // namespace sov::supervisor
