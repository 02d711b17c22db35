#include "supervisor/common/process/process_handle.h"

#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace sov::supervisor {
namespace {

// A child that says it is ready on a pipe, then exits when the test writes to another.
class WaitingChild {
 public:
  WaitingChild() {
    EXPECT_EQ(0, pipe(ready_));
    EXPECT_EQ(0, pipe(release_));
    pid_ = fork();
    if (pid_ == 0) {
      char byte = 0;
      (void)!write(ready_[1], &byte, 1);
      (void)!read(release_[0], &byte, 1);
      _exit(0);
    }
    char byte = 0;
    EXPECT_EQ(1, read(ready_[0], &byte, 1));
  }
  ~WaitingChild() {
    Release();
    waitpid(pid_, nullptr, 0);
    for (const int fd : {ready_[0], ready_[1], release_[0], release_[1]}) {
      close(fd);
    }
  }
  WaitingChild(const WaitingChild&) = delete;
  WaitingChild& operator=(const WaitingChild&) = delete;

  pid_t Pid() const { return pid_; }
  void Release() const {
    const char byte = 0;
    (void)!write(release_[1], &byte, 1);
  }
  // Waits until the child has exited; it stays in the process table until Reap.
  void AwaitExit() const {
    siginfo_t info{};
    EXPECT_EQ(0, waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT));
  }
  void Reap() const { waitpid(pid_, nullptr, 0); }

 private:
  int ready_[2] = {-1, -1};
  int release_[2] = {-1, -1};
  pid_t pid_ = -1;
};

TEST(ProcessHandleTest, WaitEndsWhenTheProcessIsGoneNotAtTheTimeout) {
  WaitingChild child;
  const ProcessHandle handle(child.Pid());
  if (!handle.HasPidfd()) {
    GTEST_SKIP() << "the kernel has no pidfd";
  }
  child.Release();
  child.AwaitExit();
  child.Reap();
  // Without the pidfd this would sleep the whole minute and the test time out.
  handle.AwaitGone(std::chrono::minutes(1));
  EXPECT_FALSE(handle.Exists());
  EXPECT_FALSE(handle.Signal(SIGTERM));
}

// An exited process that its parent has not reaped is still there, as signal 0 finds it.
TEST(ProcessHandleTest, ExitedButUnreapedProcessIsNotGoneYet) {
  WaitingChild child;
  const ProcessHandle handle(child.Pid());
  child.Release();
  child.AwaitExit();
  handle.AwaitGone(std::chrono::milliseconds(20));
  EXPECT_TRUE(handle.Exists());
  child.Reap();
  EXPECT_FALSE(handle.Exists());
}

TEST(ProcessHandleTest, ChecksTheExecutableOfTheProcessItHolds) {
  WaitingChild child;
  const ProcessHandle handle(child.Pid());
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  EXPECT_TRUE(handle.RunsExecutable(self));
  EXPECT_FALSE(handle.RunsExecutable("/bin/sh"));
  EXPECT_FALSE(handle.RunsExecutable("/nonexistent"));
  child.Release();
  child.Reap();
  EXPECT_FALSE(handle.RunsExecutable(self));
}

// kill() takes 0 and negative numbers for process groups and for every process.
TEST(ProcessHandleTest, NumbersThatNameGroupsAreNoProcess) {
  for (const pid_t pid : {0, -1, -static_cast<pid_t>(getpgrp())}) {
    SCOPED_TRACE(pid);
    const ProcessHandle handle(pid);
    EXPECT_FALSE(handle.Exists());
    EXPECT_FALSE(handle.Signal(SIGTERM));
  }
}

}  // namespace
}  // namespace sov::supervisor
