#include "supervisor/launcher/stop_command.h"

#include "tests/unit/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace sov::supervisor {
namespace {

// A child that is not reaped stays a zombie, which signal 0 still finds: the process
// that is stopped here is a grandchild, reparented away from the test. It runs `setUp`,
// reports its pid, then runs `serve` and exits.
pid_t StartDetachedProcess(const std::function<void()>& setUp, const std::function<void()>& serve) {
  int channel[2];
  EXPECT_EQ(0, pipe(channel));
  const pid_t middle = fork();
  if (middle == 0) {
    if (fork() == 0) {
      setUp();
      const pid_t self = getpid();
      (void)!write(channel[1], &self, sizeof self);
      serve();
      _exit(0);
    }
    _exit(0);
  }
  pid_t worker = 0;
  EXPECT_EQ(static_cast<ssize_t>(sizeof worker), read(channel[0], &worker, sizeof worker));
  waitpid(middle, nullptr, 0);
  close(channel[0]);
  close(channel[1]);
  return worker;
}

// A detached server that waits for a signal; with `ignoreTerm` it outlives SIGTERM.
pid_t StartDetached(bool ignoreTerm) {
  return StartDetachedProcess(
      [ignoreTerm] {
        if (ignoreTerm) {
          signal(SIGTERM, SIG_IGN);
        }
      },
      [] { pause(); });
}

// A detached server that takes its time over SIGTERM: it reports the signal on `termSeen`
// and exits only when a byte arrives on `release`.
pid_t StartSlowToStop(int termSeen, int release) {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  return StartDetachedProcess([&term] { sigprocmask(SIG_BLOCK, &term, nullptr); },
                              [&term, termSeen, release] {
                                int received = 0;
                                sigwait(&term, &received);
                                char byte = 0;
                                (void)!write(termSeen, &byte, 1);
                                (void)!read(release, &byte, 1);
                              });
}

TEST(StopProcessTest, WaitsUntilTheProcessHasGone) {
  const pid_t worker = StartDetached(false);
  EXPECT_TRUE(StopProcess(worker));
  EXPECT_NE(0, kill(worker, 0));
  // Gone before the signal: not an error.
  EXPECT_TRUE(StopProcess(worker));
}

TEST(StopProcessTest, ServerThatTakesItsTimeOverTermIsWaitedFor) {
  int termSeen[2];
  int release[2];
  ASSERT_EQ(0, pipe(termSeen));
  ASSERT_EQ(0, pipe(release));
  const pid_t worker = StartSlowToStop(termSeen[1], release[0]);
  bool stopped = false;
  std::thread stop([&] { stopped = StopProcess(worker); });
  char byte = 0;
  EXPECT_EQ(1, read(termSeen[0], &byte, 1));
  EXPECT_EQ(0, kill(worker, 0));  // still waited for
  EXPECT_EQ(1, write(release[1], &byte, 1));
  stop.join();
  EXPECT_TRUE(stopped);
  EXPECT_NE(0, kill(worker, 0));
  for (const int fd : {termSeen[0], termSeen[1], release[0], release[1]}) {
    close(fd);
  }
}

TEST(StopProcessTest, ServerIgnoringTermIsWaitedForUpToTheLimit) {
  const pid_t worker = StartDetached(true);
  EXPECT_FALSE(StopProcess(worker, std::chrono::milliseconds(300)));
  EXPECT_EQ(0, kill(worker, 0));
  kill(worker, SIGKILL);
}

struct ServerAndProduct {
  pid_t server = 0;
  pid_t product = 0;
};

// A server that ignores SIGTERM, leads a session of its own and has started a product
// process that ignores it too, as a hung watchdog server leaves them. Both are reparented
// away from the test.
ServerAndProduct StartHungServer() {
  int channel[2];
  EXPECT_EQ(0, pipe(channel));
  const pid_t middle = fork();
  if (middle == 0) {
    if (fork() == 0) {
      setsid();
      signal(SIGTERM, SIG_IGN);
      ServerAndProduct started{getpid(), fork()};
      if (started.product == 0) {
        pause();
        _exit(0);
      }
      (void)!write(channel[1], &started, sizeof started);
      pause();
      _exit(0);
    }
    _exit(0);
  }
  ServerAndProduct started;
  EXPECT_EQ(static_cast<ssize_t>(sizeof started), read(channel[0], &started, sizeof started));
  waitpid(middle, nullptr, 0);
  close(channel[0]);
  close(channel[1]);
  return started;
}

TEST(EndProcessTest, ServerIgnoringTermIsKilledWithItsProductAfterTheGrace) {
  auto tracer = testing::MakeRecordingTracer();
  const auto started = StartHungServer();
  EndProcess(Traceable(tracer), "StopService", started.server, std::chrono::seconds(1));
  EXPECT_NE(0, kill(started.server, 0));
  usleep(100000);  // the product is reaped by the sandbox's init
  EXPECT_NE(0, kill(started.product, 0));
  EXPECT_THAT(tracer->Texts(),
              ::testing::ElementsAre("StopService: Process " + std::to_string(started.server) +
                                     " did not stop within 1 s of SIGTERM; killing it and its "
                                     "process group"));
}

// A process that outlives SIGKILL (here a zombie, which signal 0 still finds, as it finds
// a process stuck in the kernel) is an error that names it.
TEST(EndProcessTest, ProcessOutlivingSigkillIsAnErrorNamingIt) {
  auto tracer = testing::MakeRecordingTracer();
  const pid_t zombie = fork();
  if (zombie == 0) {
    _exit(0);
  }
  usleep(50000);
  try {
    EndProcess(Traceable(tracer), "StopService", zombie, std::chrono::milliseconds(0),
               std::chrono::seconds(1));
    ADD_FAILURE() << "no error for a process that outlives SIGKILL";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ("Process " + std::to_string(zombie) + " still runs 1 s after SIGKILL",
              std::string(error.what()));
  }
  waitpid(zombie, nullptr, 0);
}

TEST(EndProcessTest, ServerThatStopsIsNotKilled) {
  auto tracer = testing::MakeRecordingTracer();
  const pid_t worker = StartDetached(false);
  EndProcess(Traceable(tracer), "StopService", worker, std::chrono::seconds(5));
  EXPECT_NE(0, kill(worker, 0));
  EXPECT_TRUE(tracer->Texts().empty());
}

}  // namespace
}  // namespace sov::supervisor
