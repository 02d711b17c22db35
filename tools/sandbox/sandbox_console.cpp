// The console of the systemd sandbox: allocates a pseudo-terminal, prints the path of its
// terminal end (which the sandbox binds over its /dev/console) on one line, and copies all
// that is written to the terminal into a log file until SIGTERM, SIGINT or SIGHUP arrives
// or its parent ends. systemd needs a real terminal as its console; without a reader its
// writes would block once the terminal's buffer is full.
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

volatile sig_atomic_t terminalFd = -1;

// A stop turns the terminal non-blocking: the copy then takes what is left and ends.
void RequestStop(int) {
  fcntl(terminalFd, F_SETFL, O_NONBLOCK);
}

int Fail(const char* what) {
  std::fprintf(stderr, "sandbox_console: %s: %s\n", what, std::strerror(errno));
  return 1;
}

bool WriteAll(int fd, const char* data, ssize_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, static_cast<size_t>(size));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

// Copies the terminal's output into the log until a stop has been requested and nothing
// is left, or the terminal is gone.
void Copy(int terminal, int log) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(terminal, buffer, sizeof buffer);
    if (got > 0) {
      WriteAll(log, buffer, got);
    } else if (got == 0 || errno != EINTR) {
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s LOG_FILE\n", argv[0]);
    return 2;
  }
  const pid_t parent = getppid();
  const int log = open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (log < 0) {
    return Fail(argv[1]);
  }
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0) {
    return Fail("cannot allocate a pseudo-terminal");
  }
  terminalFd = terminal;
  // Signals interrupt a waiting read (no SA_RESTART), so that a stop is seen at once.
  struct sigaction action {};
  action.sa_handler = RequestStop;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    sigaction(signal, &action, nullptr);
  }
  if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) {
    return Fail("cannot follow the parent process");
  }
  char name[256];
  if (ptsname_r(terminal, name, sizeof name) != 0) {
    return Fail("cannot name the pseudo-terminal");
  }
  // Held open for the whole run: while no process has the terminal end open, reads fail
  // with EIO, which would end the copy before systemd opens its console.
  const int keeper = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (keeper < 0) {
    return Fail(name);
  }

  // The path is the only output; standard output closes after it, so that the caller's
  // read of that line ends.
  if (std::printf("%s\n", name) < 0 || std::fflush(stdout) != 0) {
    return Fail("cannot print the terminal's path");
  }
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }

  Copy(terminal, log);
  close(keeper);
  return 0;
}
