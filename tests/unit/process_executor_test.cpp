#include "supervisor/common/process/process_executor.h"

#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace sov::supervisor {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile;
using testing::TempDir;

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
      ProcessExecutor::Run({"sh", "-c", "echo out; echo err >&2; exit 5"}, {}, 10s, 1s);
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
                           {{"LD_LIBRARY_PATH", "/patch/lib64"}}, 10s, 1s);
  unsetenv("EXECUTOR_TEST_SECRET");
  EXPECT_EQ("|C.UTF-8|/patch/lib64\n", result.output);
}

TEST(ProcessExecutorTest, DeadlineSendsSigtermThenSigkill) {
  // The first child ignores SIGTERM, so only SIGKILL after the grace period ends it.
  const auto started = std::chrono::steady_clock::now();
  const auto stubborn =
      ProcessExecutor::Run({"sh", "-c", "trap '' TERM; sleep 30"}, {}, 100ms, 100ms);
  EXPECT_EQ(ivo::result::kTimeout, stubborn.code);
  EXPECT_EQ(SIGKILL, stubborn.termSignal);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);

  const auto polite = ProcessExecutor::Run({"sleep", "30"}, {}, 100ms, 5s);
  EXPECT_EQ(ivo::result::kTimeout, polite.code);
  EXPECT_EQ(SIGTERM, polite.termSignal);
}

TEST(ProcessExecutorTest, UnknownProgramIsReportedWithoutFork) {
  const auto result = ProcessExecutor::Run({"no-such-program-here"}, {}, 1s, 1s);
  EXPECT_EQ(ivo::result::kNotFound, result.code);
  EXPECT_EQ(ExecutorReason::kProgramNotFound, result.reason);
  EXPECT_FALSE(result.exitStatus);
}

TEST(ProcessExecutorTest, ProgramThatCannotBeExecutedIsASystemError) {
  TempDir dir;
  testing::WriteFile(dir / "not-executable", "data", 0644);
  const auto result = ProcessExecutor::Run({(dir / "not-executable").string()}, {}, 1s, 1s);
  EXPECT_EQ(ivo::result::kSystemError, result.code);
  EXPECT_EQ(EACCES, result.error.value());
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
  for (int i = 0; i < 100 && ReadFile(report).empty(); ++i) {
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
