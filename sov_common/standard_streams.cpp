// Filling closed standard streams with the null device.
#include "sov_common/standard_streams.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace sov::tools {

namespace {

// Whether `fd` is closed. One poll asks for all three at start (POLLNVAL marks a closed
// one); should it fail, each is asked on its own.
bool IsClosed(int fd, const pollfd* polled) {
  if (polled != nullptr) {
    return (polled[fd].revents & POLLNVAL) != 0;
  }
  return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

}  // namespace

void EnsureStandardStreams() {
  pollfd streams[] = {{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0}, {STDERR_FILENO, 0, 0}};
  const pollfd* polled = poll(streams, 3, 0) >= 0 ? streams : nullptr;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (!IsClosed(fd, polled)) {
      continue;
    }
    // open returns the lowest free number, which is `fd`: the ones below it are open.
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      close(null);
    }
  }
}

}  // namespace sov::tools
