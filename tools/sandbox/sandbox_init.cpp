// PID 1 of the test sandbox: runs one command, forwards termination signals to it,
// reaps every orphan that the PID namespace hands over, and exits with the command's
// status. Its executable path decides whether the sandbox looks like systemd or SysV init.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

volatile sig_atomic_t commandPid = 0;

void Forward(int signal) {
  if (commandPid > 0) {
    kill(commandPid, signal);
  }
}

int StatusToExitCode(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s command [argument...]\n", argv[0]);
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = Forward;
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    sigaction(signal, &action, nullptr);
  }

  const pid_t child = fork();
  if (child < 0) {
    std::perror("sandbox_init: fork");
    return 1;
  }
  if (child == 0) {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
      sigaction(signal, &standard, nullptr);
    }
    execvp(argv[1], argv + 1);
    std::fprintf(stderr, "sandbox_init: cannot run %s: %s\n", argv[1], std::strerror(errno));
    _exit(127);
  }
  commandPid = child;

  // Leaving PID 1 ends every other process of the namespace, so stray daemons that a
  // test started die with the sandbox.
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(-1, &status, 0);
    if (ended == child) {
      return StatusToExitCode(status);
    }
    if (ended < 0 && errno != EINTR) {
      return 1;
    }
  }
}
