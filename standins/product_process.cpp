// Stand-in for the product's starter and its main process: one program installed under two
// names. As "tarn-starter" it starts "tarn" from its own directory (when that exists) and
// stays until SIGTERM or SIGINT, which it passes on to "tarn" before it exits 0; when "tarn"
// ends by itself, the starter ends with the same status, as a starter whose product died.
// Under any other name it only waits for SIGTERM or SIGINT and exits 0.
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kStopTimeoutMs = 10000;

std::string OwnPath() {
  char path[4096];
  const ssize_t size = readlink("/proc/self/exe", path, sizeof path);
  return size > 0 && static_cast<size_t>(size) < sizeof path
             ? std::string(path, static_cast<size_t>(size))
             : std::string();
}

int NextSignal(int signals, int timeoutMs) {
  pollfd ready{signals, POLLIN, 0};
  signalfd_siginfo info{};
  if (poll(&ready, 1, timeoutMs) <= 0 || read(signals, &info, sizeof info) != sizeof info) {
    return 0;
  }
  return static_cast<int>(info.ssi_signo);
}

// Starts `path` with no blocked signals; 0 when it cannot be started.
pid_t Start(const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
    execv(argv[0], argv);
    std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(errno));
    _exit(127);
  }
  return child > 0 ? child : 0;
}

int ExitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Stops `child` with SIGTERM, and with SIGKILL when it outlives the timeout.
void Stop(int signals, pid_t child) {
  kill(child, SIGTERM);
  for (int waited = 0; waited < kStopTimeoutMs; waited += 100) {
    if (waitpid(child, nullptr, WNOHANG) == child) {
      return;
    }
    NextSignal(signals, 100);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

}  // namespace

int main() {
  sigset_t handled;
  sigemptyset(&handled);
  for (int signal : {SIGTERM, SIGINT, SIGCHLD}) {
    sigaddset(&handled, signal);
  }
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  const int signals = signalfd(-1, &handled, SFD_CLOEXEC);
  if (signals < 0) {
    std::perror("signalfd");
    return 1;
  }

  const std::string self = OwnPath();
  const std::string directory = self.substr(0, self.rfind('/') + 1);
  pid_t product = 0;
  if (self.substr(directory.size()) == "tarn-starter" &&
      access((directory + "tarn").c_str(), X_OK) == 0) {
    product = Start(directory + "tarn");
  }
  for (;;) {
    const int signal = NextSignal(signals, -1);
    if (signal == SIGTERM || signal == SIGINT) {
      break;
    }
    int status = 0;
    if (product != 0 && waitpid(product, &status, WNOHANG) == product) {
      return ExitStatus(status);
    }
  }
  if (product != 0) {
    Stop(signals, product);
  }
  return 0;
}
