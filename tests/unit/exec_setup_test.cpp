#include "supervisor/common/process/exec_setup.h"

#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <functional>

namespace sov::supervisor {
namespace {

bool IsCloseOnExec(int fd) {
  return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

// A recent kernel only ever takes the first way, so each is tried on its own, in a child
// that holds two inheritable descriptors with a gap between them.
TEST(ExecSetupTest, EveryWayMarksEachDescriptorAboveStandardError) {
  constexpr int kUnavailable = 77;
  const struct {
    const char* way;
    std::function<bool()> mark;
    bool mayBeUnavailable;
  } ways[] = {
      {"close_range", &close_on_exec::ByCloseRange, true},
      {"/proc/self/fd", &close_on_exec::ByProcList, false},
      {"open-file limit",
       [] {
         close_on_exec::UpToLimit();
         return true;
       },
       false},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.way);
    const int status = testing::RunInChild([&] {
      const int low = open("/dev/null", O_RDONLY);
      const int high = fcntl(low, F_DUPFD, 200);
      if (low <= STDERR_FILENO || high < 200 || IsCloseOnExec(low) || IsCloseOnExec(high)) {
        return 2;
      }
      if (!way.mark()) {
        return kUnavailable;
      }
      if (IsCloseOnExec(STDIN_FILENO) || IsCloseOnExec(STDOUT_FILENO) ||
          IsCloseOnExec(STDERR_FILENO)) {
        return 3;
      }
      return IsCloseOnExec(low) && IsCloseOnExec(high) ? 0 : 1;
    });
    if (status == kUnavailable && way.mayBeUnavailable) {
      continue;  // a kernel before 5.11
    }
    EXPECT_EQ(0, status);
  }
}

}  // namespace
}  // namespace sov::supervisor
