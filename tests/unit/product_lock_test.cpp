#include "supervisor/common/files/product_lock.h"

#include "supervisor/common/exceptions.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace sov::supervisor {
namespace {

namespace fs = boost::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

// The product's variable directory with no lock file yet. Each Acquire opens the file
// anew, so two locks taken in this one process exclude each other as two processes would.
class ProductLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::InsideSandbox());
    fs::create_directories(product_.VarDir());
  }
  void TearDown() override {
    fs::remove(lockFile_);
    close(ProductLock::kInheritedFd);
  }

  std::optional<ProductLock> Take(const std::string& command,
                                  std::chrono::milliseconds wait = ProductLock::kWait) {
    return ProductLock::Acquire(Traceable(tracer_), product_, command, wait);
  }
  // The message of the ApplicationError that Take throws.
  std::string Refusal(std::chrono::milliseconds wait = 0ms) {
    try {
      Take("--uninstall", wait);
    } catch (const ApplicationError& error) {
      return error.what();
    }
    return "(taken)";
  }

  boost::intrusive_ptr<testing::RecordingTracer> tracer_ = testing::MakeRecordingTracer();
  ProductPaths product_{tracer_};
  const Path lockFile_ = product_.LauncherLock();
};

TEST_F(ProductLockTest, ASecondCommandWaitsThenGivesUpNamingTheHolder) {
  auto holder = Take("--install t2");
  ASSERT_TRUE(holder);
  EXPECT_EQ(0600, static_cast<int>(fs::status(lockFile_).permissions()));
  EXPECT_EQ(std::to_string(getpid()) + " --install t2\n", testing::ReadFile(lockFile_));

  const auto start = std::chrono::steady_clock::now();
  const std::string refusal = Refusal(300ms);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_THAT(refusal,
              ::testing::MatchesRegex("Another launcher command is changing the product \\(pid " +
                                      std::to_string(getpid()) +
                                      ": --install t2\\); gave up after waiting [0-9.]+ s for "
                                      "/var/opt/brevantis/tarn/launcher\\.lock"));
  EXPECT_THAT(tracer_->Texts(),
              Contains("> Another launcher command is changing the product (pid " +
                       std::to_string(getpid()) +
                       ": --install t2); waiting up to 0.3 s for it to end ..."));

  // Once the holder lets go, the waiter takes the lock and records itself.
  std::thread release([&] {
    std::this_thread::sleep_for(100ms);
    holder->Release();
  });
  auto waiter = Take("--start", 5s);
  release.join();
  ASSERT_TRUE(waiter);
  EXPECT_EQ(std::to_string(getpid()) + " --start\n", testing::ReadFile(lockFile_));
  EXPECT_THAT(tracer_->Texts(), Contains(HasSubstr("ProductLock: Lock taken after 0.")));
}

TEST_F(ProductLockTest, OnlyARegularFileOfItsOwnIsALockFile) {
  testing::TempDir elsewhere;
  testing::WriteFile(elsewhere / "target", "keep");
  const struct {
    std::function<void()> plant;
    std::string refusal;
  } cases[] = {
      {[&] { fs::create_symlink(elsewhere / "target", lockFile_); },
       "Cannot open /var/opt/brevantis/tarn/launcher.lock: Too many levels of symbolic links"},
      {[&] { ASSERT_EQ(0, mkfifo(lockFile_.c_str(), 0600)); },
       "Refusing the lock file /var/opt/brevantis/tarn/launcher.lock: it is not a regular file"},
      {[&] { fs::create_directory(lockFile_); },
       "Cannot open /var/opt/brevantis/tarn/launcher.lock: Is a directory"},
      {[&] {
         testing::WriteFile(product_.VarDir() / "other-name", "");
         fs::create_hard_link(product_.VarDir() / "other-name", lockFile_);
       },
       "Refusing the lock file /var/opt/brevantis/tarn/launcher.lock: it has other names (hard "
       "links)"},
      {[&] {
         testing::WriteFile(lockFile_, "");
         ASSERT_EQ(0, chown(lockFile_.c_str(), 65534, 65534));
       },
       "Refusing the lock file /var/opt/brevantis/tarn/launcher.lock: it belongs to user 65534"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refusal);
    c.plant();
    EXPECT_EQ(c.refusal, Refusal());
    fs::remove(lockFile_);
    fs::remove(product_.VarDir() / "other-name");
  }
  EXPECT_EQ("keep", testing::ReadFile(elsewhere / "target"));
}

TEST_F(ProductLockTest, NothingInstalledIsNothingToGuard) {
  const ProductPaths renamed(tracer_, "notinstalled");
  EXPECT_FALSE(ProductLock::Acquire(Traceable(tracer_), renamed, "--uninstall"));
  EXPECT_FALSE(fs::exists(renamed.VarDir()));
}

// What the start does across its exec: the copy at kInheritedFd keeps the lock for the
// program executed, and the launcher started there adopts it without waiting.
TEST_F(ProductLockTest, PassedOnAcrossExecAndAdopted) {
  for (const bool passOn : {true, false}) {
    SCOPED_TRACE(passOn ? "passed on" : "not passed on");
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const pid_t child = fork();
    if (child == 0) {
      auto lock = Take("--start");
      if (passOn) {
        lock->PassOnAtExec();
      }
      // Tells the parent that the exec is done by closing the close-on-exec pipe.
      fcntl(ready[1], F_SETFD, FD_CLOEXEC);
      execl("/bin/sleep", "sleep", "30", nullptr);
      _exit(127);
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(0, read(ready[0], &byte, 1));
    close(ready[0]);
    EXPECT_EQ(passOn ? "Another launcher command is changing the product (pid " +
                           std::to_string(child) +
                           ": --start); gave up after waiting 0 s for "
                           "/var/opt/brevantis/tarn/launcher.lock"
                     : "(taken)",
              Refusal());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }

  auto lock = Take("--start");
  lock->PassOnAtExec();
  lock->CloseInChild();  // what the exec does to this process's own descriptor
  tracer_->Clear();
  auto adopted = Take("--start", 0ms);
  ASSERT_TRUE(adopted);
  EXPECT_THAT(tracer_->Texts(),
              Contains("ProductLock: Holding the lock that the executing launcher passed on"));
  EXPECT_EQ(-1, fcntl(ProductLock::kInheritedFd, F_GETFD));
  EXPECT_EQ(std::to_string(getpid()) + " --start\n", testing::ReadFile(lockFile_));
  EXPECT_THAT(Refusal(), HasSubstr("gave up after waiting 0 s"));
}

TEST_F(ProductLockTest, AStrayDescriptorIsNoLock) {
  // A description of the lock file that someone else's lock excludes: closed, not adopted.
  auto holder = Take("--install t1");
  ASSERT_EQ(ProductLock::kInheritedFd,
            dup2(open(lockFile_.c_str(), O_RDONLY | O_CLOEXEC), ProductLock::kInheritedFd));
  EXPECT_THAT(Refusal(), HasSubstr("gave up after waiting 0 s"));
  EXPECT_EQ(-1, fcntl(ProductLock::kInheritedFd, F_GETFD));
  holder->Release();

  // Another file at that number is the caller's business: left open.
  testing::TempDir dir;
  testing::WriteFile(dir / "other", "");
  ASSERT_EQ(ProductLock::kInheritedFd,
            dup2(open((dir / "other").c_str(), O_RDONLY), ProductLock::kInheritedFd));
  EXPECT_TRUE(Take("--start"));
  EXPECT_EQ(0, fcntl(ProductLock::kInheritedFd, F_GETFD));
}

// A forked child that runs on after the holder (an integrity check) holds nothing.
TEST_F(ProductLockTest, AForkedChildKeepsNothing) {
  auto lock = Take("--start");
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t child = fork();
  if (child == 0) {
    lock->CloseInChild();
    close(ready[1]);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte;
  ASSERT_EQ(0, read(ready[0], &byte, 1));
  close(ready[0]);
  lock->CloseInChild();  // the holder ends without unlocking: only its descriptor goes
  EXPECT_EQ("(taken)", Refusal());
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace sov::supervisor
