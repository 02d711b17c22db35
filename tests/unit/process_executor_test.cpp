#include "supervisor/common/process/process_executor.h"

#include "tests/unit/child_state_probe.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

// The unit tests are linked with --wrap=read, so every read of our code comes here first.
// When asked, reads of the executor's output pipes fail the way a signal would make them
// fail: nothing is ready while the child lives, and the first read after it was reaped is
// interrupted.
namespace {

bool interruptOutputReads = false;
std::set<int> interruptedOnce;

bool IsNonBlockingPipe(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode) &&
         (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

bool HasChild() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

}  // namespace

extern "C" ssize_t __real_read(int fd, void* buffer, size_t size);
extern "C" ssize_t __wrap_read(int fd, void* buffer, size_t size) {
  if (interruptOutputReads && IsNonBlockingPipe(fd)) {
    if (HasChild()) {
      errno = EAGAIN;
      return -1;
    }
    if (interruptedOnce.insert(fd).second) {
      errno = EINTR;
      return -1;
    }
  }
  return __real_read(fd, buffer, size);
}

namespace sov::supervisor {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile;
using testing::TempDir;

// A deadline that a child which only has to run a few commands never reaches, however
// loaded the machine: the tests that wait do not wait for it, but for the child's end.
constexpr auto kPatient = std::chrono::milliseconds(120s);

using Form = std::function<ExecutorResult(const std::vector<std::string>&)>;
const struct {
  const char* name;
  Form run;
} kForms[] = {
    {"waiting",
     [](const auto& arguments) { return ProcessExecutor::Run(arguments, {}, kPatient, 1s); }},
    {"detached", [](const auto& arguments) { return ProcessExecutor::RunDetached(arguments, {}); }},
};

// The page faults of every child reaped so far: any child that was started, however
// briefly, adds to them.
long ReapedChildFaults() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_minflt;
}

TEST(ExecutorResultTest, TextFormListsEveryPresentPart) {
  ExecutorResult ok;
  ok.arguments = {"a", "b"};
  ok.exitStatus = 0;
  EXPECT_EQ("Program a b finished with reason: 0x00000000 (Success), Exit code: 0", ok.ToString());

  ExecutorResult failed;
  failed.arguments = {"x"};
  failed.code = ivo::result::kSystemError;
  failed.termSignal = 9;
  failed.error = std::error_code(ENOENT, std::generic_category());
  failed.reason = ExecutorReason::kProgramNotFound;
  failed.output = "out";
  failed.errorOutput = "";
  EXPECT_EQ(
      "Program x finished with reason: 0x80000005 (System call failed), Term signal: 9, "
      "Error code: No such file or directory, program not found, output: 'out'",
      failed.ToString());

  ExecutorResult unknown;
  unknown.code = 0x1234;
  unknown.errorOutput = "err";
  EXPECT_EQ("Program finished with reason: 0x00001234 (Unknown result code), stderr: 'err'",
            unknown.ToString());
}

TEST(ProcessExecutorTest, RunCapturesBothOutputsAndTheStatus) {
  const auto result =
      ProcessExecutor::Run({"sh", "-c", "echo out; echo err >&2; exit 5"}, {}, kPatient, 1s);
  EXPECT_EQ(ivo::result::kOk, result.code);
  EXPECT_EQ(5, result.exitStatus);
  EXPECT_EQ("out\n", result.output);
  EXPECT_EQ("err\n", result.errorOutput);
  EXPECT_FALSE(result.Succeeded());
}

TEST(ProcessExecutorTest, ChildSeesOnlyTheKeptVariablesAndTheAdditions) {
  setenv("EXECUTOR_TEST_SECRET", "leak", 1);
  setenv("LANG", "C.UTF-8", 1);
  const auto result =
      ProcessExecutor::Run({"sh", "-c", "echo \"$EXECUTOR_TEST_SECRET|$LANG|$LD_LIBRARY_PATH\""},
                           {{"LD_LIBRARY_PATH", "/patch/lib64"}}, kPatient, 1s);
  unsetenv("EXECUTOR_TEST_SECRET");
  EXPECT_EQ("|C.UTF-8|/patch/lib64\n", result.output);
}

// The stubborn child ignores SIGTERM only once its shell has run the trap, which on a loaded
// machine may come after the deadline: the child tells when it is ready, and a run whose
// SIGTERM ended a child that was not ready proves nothing about the executor, so it is
// repeated with a longer deadline. A ready child ignores SIGTERM: only SIGKILL ends it.
TEST(ProcessExecutorTest, DeadlineSendsSigtermThenSigkill) {
  TempDir dir;
  const auto ready = dir / "ready";
  const std::string stubborn = "trap '' TERM; : >" + ready.string() + "; sleep 30";
  ExecutorResult result;
  for (auto deadline = 100ms; deadline < kPatient; deadline *= 2) {
    boost::filesystem::remove(ready);
    result = ProcessExecutor::Run({"sh", "-c", stubborn}, {}, deadline, 100ms);
    // A child that outlived its SIGTERM had its trap, ready file or not.
    if (boost::filesystem::exists(ready) || result.termSignal != SIGTERM) {
      break;
    }
  }
  EXPECT_EQ(ivo::result::kTimeout, result.code);
  EXPECT_EQ(SIGKILL, result.termSignal) << result.ToString();

  // Ends by SIGTERM whenever it comes, before or after the program runs.
  const auto polite = ProcessExecutor::Run({"sleep", "30"}, {}, 100ms, kPatient);
  EXPECT_EQ(ivo::result::kTimeout, polite.code);
  EXPECT_EQ(SIGTERM, polite.termSignal);
}

TEST(ProcessExecutorTest, InterruptedReadDoesNotEndTheOutput) {
  const int status = testing::RunInChild([] {
    interruptOutputReads = true;  // a fresh process: the executor's child is its only one
    const auto result =
        ProcessExecutor::Run({"sh", "-c", "echo out; echo err >&2"}, {}, kPatient, 1s);
    return result.output == "out\n" && result.errorOutput == "err\n" ? 0 : 1;
  });
  EXPECT_EQ(0, status);
}

// Only a bare name is looked up, in the system directories only; when that fails no
// process is started at all.
TEST(ProcessExecutorTest, UnknownProgramIsReportedWithoutFork) {
  TempDir dir;
  const auto marker = dir / "ran";
  testing::WriteFile(dir / "executor-test-planted", "#!/bin/sh\ntouch " + marker.string() + "\n",
                     0755);
  const testing::WorkingDirectory workingDirectory(dir.path());
  const std::vector<std::string> programs[] = {
      {"no-such-program-here"},
      {"executor-test-planted"},
      {"./executor-test-planted"},
      {"../bin/sh", "-c", "touch " + marker.string()},  // /usr/sbin/../bin/sh
  };
  const long before = ReapedChildFaults();
  ProcessExecutor::Run({"true"}, {}, kPatient, 1s);
  ASSERT_LT(before, ReapedChildFaults()) << "a child that ran leaves no trace to count";
  for (const auto& form : kForms) {
    for (const auto& arguments : programs) {
      SCOPED_TRACE(std::string(form.name) + " " + arguments.front());
      const long faults = ReapedChildFaults();
      const auto result = form.run(arguments);
      EXPECT_EQ(ivo::result::kNotFound, result.code);
      EXPECT_EQ(ExecutorReason::kProgramNotFound, result.reason);
      EXPECT_FALSE(result.exitStatus);
      EXPECT_EQ(faults, ReapedChildFaults()) << "a child was started";
    }
  }
  EXPECT_FALSE(boost::filesystem::exists(marker));
}

TEST(ProcessExecutorTest, ProgramThatCannotBeExecutedIsASystemError) {
  TempDir dir;
  testing::WriteFile(dir / "not-executable", "data", 0644);
  const auto result = ProcessExecutor::Run({(dir / "not-executable").string()}, {}, kPatient, 1s);
  EXPECT_EQ(ivo::result::kSystemError, result.code);
  EXPECT_EQ(EACCES, result.error.value());
}

TEST(ProcessExecutorTest, ChildGetsOnlyTheStandardStreamsAndDefaultSignals) {
  const testing::InheritedClutter clutter;
  for (const auto& form : kForms) {
    SCOPED_TRACE(form.name);
    TempDir dir;
    const testing::ChildStateProbe probe(dir.path());
    EXPECT_EQ(ivo::result::kOk, form.run(probe.DescriptorsCommand()).code);
    EXPECT_EQ(ivo::result::kOk, form.run(probe.SignalsCommand()).code);
    EXPECT_EQ(testing::ChildStateProbe::kClean, probe.Report());
  }
}

TEST(ProcessExecutorTest, DetachedChildOutlivesTheCallInItsOwnSession) {
  TempDir dir;
  const auto report = dir / "report";
  // The child waits for a child of its own: with SIGCHLD left ignored, wait would fail.
  const std::string script =
      "sleep 0.2 & wait $! && s=waited || s=lost; "
      "echo \"$s $(cut -d' ' -f6 /proc/$$/stat) $$ $(umask)\" > " +
      report.string();
  const auto result = ProcessExecutor::RunDetached({"sh", "-c", script}, {});
  EXPECT_EQ(ivo::result::kOk, result.code) << result.ToString();
  // The report is the child's sign of life: waited for, however long a loaded machine takes.
  for (auto waited = 0ms; waited < kPatient && ReadFile(report).empty(); waited += 50ms) {
    std::this_thread::sleep_for(50ms);
  }
  std::istringstream fields(ReadFile(report));
  std::string waited;
  pid_t session = 0;
  pid_t pid = 0;
  std::string umask;
  fields >> waited >> session >> pid >> umask;
  EXPECT_EQ("waited", waited);
  EXPECT_NE(getsid(0), session);
  EXPECT_EQ("0000", umask);
}

TEST(ProcessExecutorTest, DetachedUnknownProgramFails) {
  const auto result = ProcessExecutor::RunDetached({"no-such-program-here"}, {});
  EXPECT_EQ(ivo::result::kNotFound, result.code);
}

}  // namespace
}  // namespace sov::supervisor
