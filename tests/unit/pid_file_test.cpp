#include "supervisor/common/files/pid_file.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace sov::supervisor {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

class PidFileTest : public ::testing::Test {
 protected:
  std::optional<pid_t> Read(std::chrono::milliseconds lockWait = kPidFileLockWait) {
    return ReadPidFile(tracing_, "Query", file_, lockWait);
  }
  // The system error that reading throws.
  std::system_error ReadError(std::chrono::milliseconds lockWait = kPidFileLockWait) {
    try {
      Read(lockWait);
    } catch (const std::system_error& error) {
      return error;
    }
    ADD_FAILURE() << "no exception";
    return std::system_error(0, std::generic_category());
  }

  testing::TempDir dir_;
  Path file_ = dir_ / "wdserver.pid";
  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  Traceable tracing_{tracer_};
};

TEST_F(PidFileTest, ContentGivesThePidOrATracedNotRunning) {
  const std::string path = file_.string();
  const struct {
    const char* content;
    std::optional<pid_t> pid;
    const char* trace;  // nullptr: none
  } cases[] = {
      {"4242\n", 4242, nullptr},
      {"0000012", 12, nullptr},  // leading zeros
      {"+12", 12, nullptr},
      {"999999999", 999999999, nullptr},  // the largest that fits in 9 bytes
      {"", std::nullopt, "Query: Product not running (Pid-file %s is empty)"},
      {" 12\n", std::nullopt, "Query: Product not running (Pid-file %s has wrong content ' 12\n')"},
      {"-\n", std::nullopt, "Query: Product not running (Pid-file %s has wrong content '-\n')"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    testing::WriteFile(file_, c.content);
    tracer_->Clear();
    EXPECT_EQ(c.pid, Read());
    if (c.trace == nullptr) {
      EXPECT_TRUE(tracer_->Lines().empty());
      continue;
    }
    std::string trace = c.trace;
    trace.replace(trace.find("%s"), 2, path);
    EXPECT_THAT(tracer_->Texts(), ElementsAre(trace));
  }
}

TEST_F(PidFileTest, MissingFileIsNotRunning) {
  EXPECT_EQ(std::nullopt, Read());
  EXPECT_THAT(tracer_->Texts(),
              ElementsAre("Query: Product not running (Can't open " + file_.string() +
                          " file. Reason: No such file or directory)"));
}

TEST_F(PidFileTest, WhatIsNoRegularFileIsAnOpenFailure) {
  // A FIFO would block a plain open until a writer came, and a read after it.
  ASSERT_EQ(0, mkfifo(file_.c_str(), 0644));
  std::system_error error = ReadError();
  EXPECT_EQ(EINVAL, error.code().value());
  EXPECT_EQ("Cannot open " + file_.string() + ": Invalid argument", std::string(error.what()));

  boost::filesystem::remove(file_);
  boost::filesystem::create_directory(file_);
  error = ReadError();
  EXPECT_EQ("Cannot open " + file_.string() + ": Is a directory", std::string(error.what()));
}

TEST_F(PidFileTest, ALockHeldByAnotherProcessFailsAfterTheWait) {
  testing::WriteFile(file_, "4242\n");
  int locked[2];
  ASSERT_EQ(0, pipe(locked));
  const pid_t holder = fork();
  if (holder == 0) {
    const int fd = open(file_.c_str(), O_RDONLY);
    const char done = flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
    (void)!write(locked[1], &done, 1);
    pause();  // holds the lock until killed
    _exit(0);
  }
  close(locked[1]);
  char done = 0;
  ASSERT_EQ(1, read(locked[0], &done, 1));
  close(locked[0]);
  ASSERT_EQ('y', done);

  const std::system_error error = ReadError(50ms);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(EWOULDBLOCK, error.code().value());
  EXPECT_EQ("Lock of pid-file " + file_.string() + " failed: Resource temporarily unavailable",
            std::string(error.what()));
  // Once the holder is gone the file reads again.
  EXPECT_EQ(4242, Read());
}

}  // namespace
}  // namespace sov::supervisor
