// Measures how long a host runs without the product's watchdog server while COMMAND runs:
// from the exit of the server that the pid file names when the probe starts to the moment
// the pid file names another live process. The server's exit is seen through a pidfd (the
// exact moment, without polling); the new pid file is polled every 200 microseconds.
//
//   gap_probe PIDFILE COMMAND [ARG...]
//
// Prints on standard output the gap in milliseconds (three decimals), the number of processes
// and threads that began inside it (the process ids that the probe's PID namespace handed
// out: run it in a namespace of its own, as the sandbox is), and the wall-clock times of
// its start and end (seconds since the epoch, as strace -ttt writes them). Exits 1 when no
// server ran at the start, when it did not end, or when no new one came within 60 s of its
// end. COMMAND's own output goes to standard error, its failure is the probe's failure.
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The last process id handed out in the reader's PID namespace (the last field of
// /proc/loadavg); ids are handed out in order until they wrap at pid_max.
long LastPid() {
  std::ifstream in("/proc/loadavg");
  std::string field;
  std::string last;
  while (in >> field) {
    last = field;
  }
  return std::strtol(last.c_str(), nullptr, 10);
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

int ReadPid(const char* file) {
  std::ifstream in(file);
  int pid = 0;
  return in >> pid ? pid : 0;
}

bool Alive(int pid) {
  return pid > 0 && kill(pid, 0) == 0;
}

int OpenPidfd(int pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

pid_t Run(char** argv) {
  const pid_t child = fork();
  if (child == 0) {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    execv(argv[0], argv);
    _exit(127);
  }
  return child;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: gap_probe PIDFILE COMMAND [ARG...]\n");
    return 2;
  }
  const char* pidFile = argv[1];
  const int old = ReadPid(pidFile);
  const int pidfd = Alive(old) ? OpenPidfd(old) : -1;
  if (pidfd < 0) {
    std::fprintf(stderr, "gap_probe: no watchdog server runs (%s)\n", pidFile);
    return 1;
  }
  const pid_t command = Run(argv + 2);
  pollfd exited{pidfd, POLLIN, 0};
  while (poll(&exited, 1, 60000) < 0 && errno == EINTR) {
  }
  const auto gone = Clock::now();
  const double goneWall = WallSeconds();
  const long pidsBefore = LastPid();
  if ((exited.revents & POLLIN) == 0) {
    std::fprintf(stderr, "gap_probe: the server %d did not end\n", old);
    return 1;
  }
  int next = 0;
  while (Clock::now() - gone < std::chrono::seconds(60)) {
    next = ReadPid(pidFile);
    if (next != old && Alive(next)) {
      break;
    }
    next = 0;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const auto back = Clock::now();
  const double backWall = WallSeconds();
  const long pidsAfter = LastPid();
  int status = 0;
  waitpid(command, &status, 0);
  if (next == 0) {
    std::fprintf(stderr, "gap_probe: no new server within 60 s\n");
    return 1;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "gap_probe: %s failed\n", argv[2]);
    return 1;
  }
  std::printf("%.3f %ld %.6f %.6f\n",
              std::chrono::duration<double, std::milli>(back - gone).count(),
              pidsAfter - pidsBefore, goneWall, backWall);
  return 0;
}
