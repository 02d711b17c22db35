#include "supervisor/common/application.h"

#include "sov_common/file_copy.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;

class TestApplication : public Application {
 public:
  using Application::Application;
  CommandCall CreateCommand(const Arguments&) override { return command; }
  CommandCall command;
};

// Lays an install-current patch whose wdserver is a copy of sleep, and runs it.
class CurrentPatchTest : public ::testing::Test {
 protected:
  static constexpr const char* kPidFile = "/var/run/wdserver.pid";
  static constexpr const char* kVar = "/var/opt/brevantis/tarn";

  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    const Path patch = Path(kVar) / "patch_a";
    fs::create_directories(patch / "opt/brevantis/tarn/libexec");
    sov::tools::CopyFile("/bin/sleep", wdserver_, sov::tools::CopyMode::kOverwrite);
    fs::remove(Path(kVar) / "install-current");
    fs::create_directory_symlink(patch, Path(kVar) / "install-current");
  }

  void TearDown() override {
    if (server_ > 0) {
      kill(server_, SIGKILL);
      waitpid(server_, nullptr, 0);
    }
    fs::remove(kPidFile);
    fs::remove_all(kVar);
    fs::create_directory(kVar);
  }

  pid_t StartServer() {
    server_ = fork();
    if (server_ == 0) {
      execl(wdserver_.c_str(), "wdserver", "600", nullptr);
      _exit(127);
    }
    // Wait until the child runs the copy, not the test binary it was forked from.
    const std::string exe = "/proc/" + std::to_string(server_) + "/exe";
    for (int i = 0; i < 200 && fs::read_symlink(exe) != wdserver_; ++i) {
      std::this_thread::sleep_for(5ms);
    }
    return server_;
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  TestApplication application_{tracer_};
  Path wdserver_ = Path(kVar) / "patch_a/opt/brevantis/tarn/libexec/wdserver";
  pid_t server_ = -1;
};

TEST_F(CurrentPatchTest, RunningServerGivesItsPid) {
  const pid_t server = StartServer();
  testing::WriteFile(kPidFile, std::to_string(server) + "\n");
  pid_t pid = 0;
  EXPECT_TRUE(application_.IsCurrentPatchRunning(&pid));
  EXPECT_EQ(server, pid);
  EXPECT_THAT(
      tracer_->Texts(),
      ElementsAre("IsCurrentPatchRunning: Product running (PID:" + std::to_string(server) + ")"));
}

TEST_F(CurrentPatchTest, WaitsWhileAnotherHolderLocksThePidFile) {
  const pid_t server = StartServer();
  testing::WriteFile(kPidFile, std::to_string(server));
  const int holder = open(kPidFile, O_RDONLY);
  ASSERT_EQ(0, flock(holder, LOCK_EX));
  auto query = std::async(std::launch::async,
                          [this] { return application_.IsCurrentPatchRunning(nullptr); });
  EXPECT_EQ(std::future_status::timeout, query.wait_for(300ms));
  flock(holder, LOCK_UN);
  close(holder);
  EXPECT_TRUE(query.get());
}

TEST_F(CurrentPatchTest, PreviousPatchServerAfterTheSwitchIsNotRunning) {
  const pid_t server = StartServer();
  testing::WriteFile(kPidFile, std::to_string(server) + "\n");
  const Path patchB = Path(kVar) / "patch_b";
  fs::create_directories(patchB / "opt/brevantis/tarn/libexec");
  sov::tools::CopyFile("/bin/sleep", patchB / "opt/brevantis/tarn/libexec/wdserver",
                       sov::tools::CopyMode::kOverwrite);
  fs::remove(Path(kVar) / "install-current");
  fs::create_directory_symlink(patchB, Path(kVar) / "install-current");
  EXPECT_FALSE(application_.IsCurrentPatchRunning(nullptr));
  EXPECT_THAT(tracer_->Texts(),
              ElementsAre("IsCurrentPatchRunning: Product not running (" + std::string(kVar) +
                          "/install-current/opt/brevantis/tarn/libexec/wdserver != " +
                          wdserver_.string() + ", PID: " + std::to_string(server) + ")"));
}

TEST_F(CurrentPatchTest, OversizedPidFileThrowsAndLeavesNoLockBehind) {
  testing::WriteFile(kPidFile, "1234567890");
  try {
    application_.IsCurrentPatchRunning(nullptr);
    FAIL() << "no exception";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ("Pid-file /var/run/wdserver.pid has unexpected size 10", error.what());
  }
  const int probe = open(kPidFile, O_RDONLY);
  EXPECT_EQ(0, flock(probe, LOCK_EX | LOCK_NB));
  close(probe);
}

TEST(ApplicationRunTest, ResultOrExceptionGoesThroughOnException) {
  auto tracer = testing::MakeRecordingTracer();
  TestApplication application(tracer);
  application.command = [] { return 7; };
  EXPECT_EQ(7, application.Run({"launcher"}));
  application.command = []() -> int { throw std::runtime_error("boom"); };
  EXPECT_EQ(1, application.Run({"launcher"}));
  application.command = nullptr;
  EXPECT_EQ(1, application.Run({"launcher"}));
  ASSERT_EQ(2u, tracer->TextsAt(300).size());
  EXPECT_THAT(tracer->TextsAt(300)[0],
              ::testing::HasSubstr("OnException: Dynamic exception type: std::runtime_error\n"
                                   "std::exception::what: boom"));
  EXPECT_THAT(tracer->TextsAt(300)[1], ::testing::HasSubstr("std::bad_function_call"));
}

}  // namespace
}  // namespace sov::supervisor
