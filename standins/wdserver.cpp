// Stand-in for the product's watchdog server, enough for the launcher to start, query and
// stop it: it writes its pid to the file given with "-p" (under flock, as the launcher
// reads it), stays up until SIGTERM or SIGINT, and removes the pid file on the way out.
// "-d" detaches it from the caller first; the caller gets 0 once the pid file is written,
// or 2 when a server of the same executable already runs. Other options are accepted and
// ignored.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kAlreadyRunning = 2;
volatile sig_atomic_t stopRequested = 0;

void RequestStop(int) {
  stopRequested = 1;
}

std::string ExecutableOf(const std::string& pid) {
  char target[4096];
  const ssize_t size = readlink(("/proc/" + pid + "/exe").c_str(), target, sizeof target - 1);
  return size > 0 ? std::string(target, static_cast<size_t>(size)) : std::string();
}

bool AnotherServerRuns(const std::string& pidFile) {
  FILE* file = std::fopen(pidFile.c_str(), "r");
  if (file == nullptr) {
    return false;
  }
  char text[32] = {};
  const bool read = std::fgets(text, sizeof text, file) != nullptr;
  std::fclose(file);
  const std::string pid = read ? std::to_string(std::atoi(text)) : "";
  return !pid.empty() && pid != "0" && ExecutableOf(pid) == ExecutableOf("self");
}

bool WritePidFile(const std::string& pidFile) {
  const int fd = open(pidFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "wdserver: cannot open %s: %s\n", pidFile.c_str(), std::strerror(errno));
    return false;
  }
  flock(fd, LOCK_EX);
  const std::string text = std::to_string(getpid()) + "\n";
  const bool written = ftruncate(fd, 0) == 0 &&
                       write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  flock(fd, LOCK_UN);
  close(fd);
  return written;
}

// Forks; the parent returns only in the child's place, exiting with the child's verdict.
void Detach() {
  int ready[2];
  if (pipe(ready) != 0) {
    std::perror("wdserver: pipe");
    std::exit(1);
  }
  const pid_t child = fork();
  if (child < 0) {
    std::perror("wdserver: fork");
    std::exit(1);
  }
  if (child > 0) {
    close(ready[1]);
    char verdict = 1;
    const bool told = read(ready[0], &verdict, 1) == 1;
    std::exit(told ? verdict : 1);
  }
  close(ready[0]);
  setsid();
  // The caller waits for our output pipes to close: keep none of its descriptors.
  const int null = open("/dev/null", O_RDWR);
  dup2(null, STDIN_FILENO);
  dup2(null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  dup2(ready[1], 100);
  close(ready[1]);
}

void TellCaller(bool detached, char verdict) {
  if (detached) {
    [[maybe_unused]] const auto ignored = write(100, &verdict, 1);
    close(100);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string pidFile = "/var/run/wdserver.pid";
  bool detach = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "-p" && i + 1 < argc) {
      pidFile = argv[++i];
    } else if (option == "-d") {
      detach = true;
    }
  }
  if (AnotherServerRuns(pidFile)) {
    return kAlreadyRunning;
  }
  if (detach) {
    Detach();
  }
  // Block the stop signals outside sigsuspend, so that one arriving before the wait is
  // not lost.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigset_t waiting;
  sigprocmask(SIG_BLOCK, &stopSignals, &waiting);
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  if (!WritePidFile(pidFile)) {
    TellCaller(detach, 1);
    return 1;
  }
  TellCaller(detach, 0);
  while (!stopRequested) {
    sigsuspend(&waiting);
  }
  unlink(pidFile.c_str());
  return 0;
}
