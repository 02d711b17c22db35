#include "supervisor/common/process/cmd.h"

#include "tests/unit/child_state_probe.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <stdexcept>

namespace sov::supervisor {
namespace {

using ::testing::ElementsAre;
using testing::MakeRecordingTracer;
using testing::Path;

class CmdObjectTest : public ::testing::Test {
 protected:
  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = MakeRecordingTracer();
  CmdObject Shell(const std::string& script) {
    return std::move(CmdObject(tracer_.get()).SetArgs("sh", "-c", script.c_str()));
  }
};

TEST_F(CmdObjectTest, SuccessTracesOnlyTheRunningLine) {
  const auto result = CmdObject(tracer_.get()).SetArgs("true")();
  EXPECT_EQ(0, result.code);
  EXPECT_THAT(tracer_->Texts(), ElementsAre("Running 'true' ..."));
  result.Check();  // no handler runs for code 0
}

TEST_F(CmdObjectTest, NonZeroStatusIsTheCodeAndCheckThrows) {
  const auto result = Shell("exit 3")();
  EXPECT_EQ(3, result.code);
  EXPECT_THAT(tracer_->Texts(),
              ElementsAre("Running 'sh -c exit 3' ...", "'sh -c exit 3' failed with exit code 3"));
  EXPECT_THAT(tracer_->TextsAt(300), ElementsAre("'sh -c exit 3' failed with exit code 3"));
  try {
    result.Check();
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("Cmd: sh -c exit 3 failed with exit code 3", error.what());
  }
}

// An expected code is an answer: one debug line instead of the error line, and the same
// result. Any other code, and a signal, are failures all the same.
TEST_F(CmdObjectTest, ExpectedExitCodeIsTracedAsAnAnswer) {
  const struct {
    const char* script;
    int code;
    std::vector<std::string> errors;
    std::vector<std::string> debug;
  } cases[] = {
      {"exit 1", 1, {}, {"Running 'sh -c exit 1' ...", "'sh -c exit 1' answered with exit code 1"}},
      {"exit 2", 2, {"'sh -c exit 2' failed with exit code 2"}, {"Running 'sh -c exit 2' ..."}},
      {"kill -9 $$",
       1,
       {"'sh -c kill -9 $$' failed by signal 9", "'sh -c kill -9 $$' failed with exit code 1"},
       {"Running 'sh -c kill -9 $$' ..."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    tracer_->Clear();
    const auto result = Shell(c.script).ExpectExitCode(1)();
    EXPECT_EQ(c.code, result.code);
    EXPECT_EQ(c.errors, tracer_->TextsAt(300));
    EXPECT_EQ(c.debug, tracer_->TextsAt(800));
    EXPECT_THROW(result.Check(), std::runtime_error);
  }
}

// The check's message tells why the program failed, not only the trace: the first line of
// its standard error (escaped for the console), or why it could not run.
TEST_F(CmdObjectTest, KeptCauseEndsTheCheckMessage) {
  const struct {
    std::string script;
    std::string message;
  } cases[] = {
      {"printf 'red \\033[0;31m' >&2; exit 4",
       "Cmd: sh -c *** failed with exit code 4: red \\x1b[0;31m"},
      {"exit 5", "Cmd: sh -c *** failed with exit code 5"},
      {"echo >&2; echo \"cp: cannot create 'x': No space left on device\" >&2; echo more >&2; "
       "exit 1",
       "Cmd: sh -c *** failed with exit code 1: cp: cannot create 'x': No space left on device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    tracer_->Clear();
    const auto result = Shell(c.script).HideArg(2).KeepCause()();
    try {
      result.Check();
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(c.message, error.what());
    }
  }
  EXPECT_THAT(tracer_->Texts(), ::testing::Contains("more")) << "the trace has every line";
  const auto missing = CmdObject(tracer_.get()).SetArgs("no-such-tool-here").KeepCause()();
  EXPECT_EQ("No such file or directory", missing.cause);
}

TEST_F(CmdObjectTest, KilledBySignalIsCodeOneWithTwoFailureLines) {
  const auto result = Shell("kill -9 $$")();
  EXPECT_EQ(1, result.code);
  EXPECT_THAT(tracer_->TextsAt(300), ElementsAre("'sh -c kill -9 $$' failed by signal 9",
                                                 "'sh -c kill -9 $$' failed with exit code 1"));
}

TEST_F(CmdObjectTest, MissingProgramIsCodeOneWithTheSystemReason) {
  const auto result = CmdObject(tracer_.get()).SetArgs("no-such-tool-here", "x")();
  EXPECT_EQ(1, result.code);
  EXPECT_THAT(tracer_->TextsAt(300),
              ElementsAre("'no-such-tool-here x' failed. Reason: No such file or directory",
                          "'no-such-tool-here x' failed with exit code 1"));
  EXPECT_THROW(result.Check(), std::runtime_error);
}

// The launcher runs as root: a file in the working directory that is named like a missing
// tool, or a relative path, must not be run.
TEST_F(CmdObjectTest, ProgramIsNeverRunByARelativeName) {
  testing::TempDir dir;
  const Path marker = dir / "ran";
  const std::string planted = "#!/bin/sh\ntouch " + marker.string() + "\n";
  testing::WriteFile(dir / "cmd-test-planted", planted, 0755);
  testing::WriteFile(dir / "sub" / "cmd-test-planted", planted, 0755);
  const testing::WorkingDirectory workingDirectory(dir.path());
  for (const std::string name :
       {"cmd-test-planted", "./cmd-test-planted", "sub/cmd-test-planted"}) {
    SCOPED_TRACE(name);
    tracer_->Clear();
    const auto result = CmdObject(tracer_.get()).SetArgs({name})();
    EXPECT_EQ(1, result.code);
    EXPECT_THAT(tracer_->TextsAt(300),
                ElementsAre("'" + name + "' failed. Reason: No such file or directory",
                            "'" + name + "' failed with exit code 1"));
  }
  EXPECT_FALSE(boost::filesystem::exists(marker));
}

// The exec's own error reaches the trace: the pipe that carries it stays open up to exec.
TEST_F(CmdObjectTest, ProgramThatCannotBeExecutedIsAStartFailure) {
  testing::TempDir dir;
  const std::string program = (dir / "not-executable").string();
  testing::WriteFile(program, "data", 0644);
  const auto result = CmdObject(tracer_.get()).SetArgs({program})();
  EXPECT_EQ(1, result.code);
  EXPECT_THAT(tracer_->TextsAt(300),
              ElementsAre("'" + program + "' failed. Reason: Permission denied",
                          "'" + program + "' failed with exit code 1"));
}

TEST_F(CmdObjectTest, ChildGetsOnlyTheStandardStreamsAndDefaultSignals) {
  testing::TempDir dir;
  const testing::ChildStateProbe probe(dir.path());
  const testing::InheritedClutter clutter;
  EXPECT_EQ(0, CmdObject(tracer_.get()).SetArgs(probe.DescriptorsCommand())().code);
  EXPECT_EQ(0, CmdObject(tracer_.get()).SetArgs(probe.SignalsCommand())().code);
  EXPECT_EQ(testing::ChildStateProbe::kClean, probe.Report());
}

TEST_F(CmdObjectTest, HiddenArgumentIsMaskedEverywhereButReachesTheChild) {
  std::ostringstream childError;
  auto command = Shell("echo \"$1\" >&2; exit 4");
  command.AddArg("sh").AddArg("s3cret").HideArg(4).SetError(CmdObject::MakeSink(childError));
  const auto result = command();
  EXPECT_EQ("s3cret\n", childError.str());
  for (const auto& text : tracer_->Texts()) {
    EXPECT_EQ(std::string::npos, text.find("s3cret")) << text;
  }
  EXPECT_EQ("sh -c echo \"$1\" >&2; exit 4 sh ***", result.CommandLine());
  try {
    result.Check();
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("Cmd: sh -c echo \"$1\" >&2; exit 4 sh *** failed with exit code 4", error.what());
  }
}

TEST_F(CmdObjectTest, BothPipesArePumpedWhileTheChildRuns) {
  // A megabyte to stderr first, then to stdout: reading one pipe at a time deadlocks.
  std::ostringstream output, error;
  const auto result = Shell("head -c 1048576 /dev/zero >&2; head -c 1048576 /dev/zero")
                          .SetOutput(CmdObject::MakeSink(output))
                          .SetError(CmdObject::MakeSink(error))();
  EXPECT_EQ(0, result.code);
  EXPECT_EQ(1048576u, error.str().size());
  EXPECT_EQ(1048576u, output.str().size());
}

TEST_F(CmdObjectTest, OnlyStderrMegabyteCompletes) {
  std::ostringstream error;
  const auto result = Shell("head -c 1048576 /dev/zero >&2").SetError(CmdObject::MakeSink(error))();
  EXPECT_EQ(0, result.code);
  EXPECT_EQ(1048576u, error.str().size());
}

TEST_F(CmdObjectTest, EnvironmentAdditionsReplaceInheritedVariables) {
  setenv("CMD_TEST_INHERITED", "old", 1);
  std::ostringstream output;
  Shell("echo \"$CMD_TEST_INHERITED $CMD_TEST_ADDED\"")
      .AddEnv("CMD_TEST_INHERITED", "new")
      .AddEnv("CMD_TEST_ADDED", "added")
      .SetOutput(CmdObject::MakeSink(output))();
  unsetenv("CMD_TEST_INHERITED");
  EXPECT_EQ("new added\n", output.str());
}

TEST_F(CmdObjectTest, TracedOutputAlsoReachesTheStream) {
  std::ostringstream output;
  Shell("echo FragmentPath=/x/y").SetOutput(800, output)();
  EXPECT_EQ("FragmentPath=/x/y\n", output.str());
  EXPECT_THAT(tracer_->Texts(),
              ElementsAre("Running 'sh -c echo FragmentPath=/x/y' ...", "FragmentPath=/x/y"));
}

// The child's lines reach the trace whole, one record each, however the reads cut them:
// a path split across two writes, several lines in one write, a last line without its end.
TEST_F(CmdObjectTest, TracedOutputKeepsWholeLinesAcrossReads) {
  Shell(
      "printf '/var/opt/bre'; sleep 0.2; printf 'vantis/tarn\\nsecond\\nthi'; sleep 0.2; "
      "printf 'rd\\nlast'")();
  EXPECT_THAT(tracer_->Texts(), ElementsAre(::testing::StartsWith("Running "),
                                            "/var/opt/brevantis/tarn", "second", "third", "last"));
}

// Output without line ends is not held without bound: no record is longer than the
// longest line, however the reads cut the output.
TEST_F(CmdObjectTest, TracedOutputWithoutLineEndsIsTracedInPieces) {
  constexpr size_t kLongest = CmdObject::kLongestTracedLine;
  const auto xs = [](size_t count) {
    return "head -c " + std::to_string(count) + " /dev/zero | tr '\\0' x; ";
  };
  const struct {
    std::string script;
    std::vector<size_t> records;  // the lengths of the traced lines of x
  } cases[] = {
      {xs(2 * kLongest + 10) + "echo", {kLongest, kLongest, 10}},
      // The line's end comes in a later read than the bytes that overflow it.
      {xs(kLongest - 5) + "sleep 0.1; " + xs(15) + "echo", {kLongest, 10}},
      {xs(kLongest) + "echo", {kLongest}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    tracer_->Clear();
    Shell(c.script + "; echo end")();
    std::vector<std::string> expected = {"Running 'sh -c " + c.script + "; echo end' ..."};
    for (const size_t length : c.records) {
      expected.emplace_back(length, 'x');
    }
    expected.emplace_back("end");
    EXPECT_EQ(expected, tracer_->Texts());
  }
}

TEST_F(CmdObjectTest, ThrowingSinkAbortsTheRunAndEndsTheChild) {
  pid_t child = 0;
  auto command = Shell("echo $$; exec sleep 60");
  command.SetOutput(
      std::make_shared<std::function<void(std::string_view)>>([&child](std::string_view chunk) {
        child = std::stoi(std::string(chunk));
        throw std::runtime_error("sink failed");
      }));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(command(), std::runtime_error);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  // Killed and reaped: a zombie would still answer.
  ASSERT_GT(child, 0);
  EXPECT_EQ(-1, kill(child, 0));
  EXPECT_EQ(ESRCH, errno);
}

TEST_F(CmdObjectTest, FailureHandlersRunInOrderAfterTheDefault) {
  std::vector<int> seen;
  auto command = Shell("exit 2");
  command.AddFailureHandler([&](const CmdObject::Result& r) { seen.push_back(r.code); });
  const auto result = command();
  // The default handler throws first, so ours is not reached.
  EXPECT_THROW(result.Check(), std::runtime_error);
  EXPECT_TRUE(seen.empty());
  auto withoutDefault = result;
  withoutDefault.handlers.erase(withoutDefault.handlers.begin());
  withoutDefault.Check();
  EXPECT_THAT(seen, ElementsAre(2));
}

}  // namespace
}  // namespace sov::supervisor
