// Filling closed standard streams with the null device.
#include "sov_common/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace sov::tools {

void EnsureStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
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
