// The watch of the termination signals, and the slot that names the child it must stop.
// The slot is two atomics, not a mutex: the watching thread publishes that a termination
// began and then reads the slot, the waiting thread publishes or clears the slot and then
// reads the flag, so (sequentially consistent) at least one of them sees the other. The
// child is signalled through a pidfd taken before it could be reaped, so a pid that a
// reaped child left free is never signalled.
#include "supervisor/common/process/termination_signals.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>

namespace sov::supervisor {
namespace {

std::atomic<bool> watching{false};
std::atomic<bool> terminating{false};
std::atomic<pid_t> childPid{0};
std::atomic<int> childPidfd{-1};

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

[[noreturn]] void Park() {
  for (;;) {
    pause();
  }
}

void Signal(pid_t pid, int pidfd, int signal) {
  if (pidfd >= 0) {
    syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0);
  } else {
    kill(pid, signal);
  }
}

bool Exited(pid_t pid) {
  siginfo_t info{};
  // WNOWAIT: the waiting thread reaps it; ECHILD means it did so already.
  const int result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  return result != 0 || info.si_pid != 0;
}

// True when the child ended within `limit`.
bool AwaitExit(pid_t pid, int pidfd, std::chrono::milliseconds limit) {
  if (pidfd >= 0) {
    pollfd exited{pidfd, POLLIN, 0};
    return poll(&exited, 1, static_cast<int>(limit.count())) != 0;
  }
  constexpr std::chrono::milliseconds kPoll{10};
  for (auto waited = std::chrono::milliseconds(0); waited < limit; waited += kPoll) {
    if (Exited(pid)) {
      return true;
    }
    usleep(static_cast<useconds_t>(std::chrono::microseconds(kPoll).count()));
  }
  return Exited(pid);
}

void StopChild(pid_t pid, int pidfd) {
  for (const int signal : {SIGTERM, SIGKILL}) {
    Signal(pid, pidfd, signal);
    if (AwaitExit(pid, pidfd, TerminationSignals::kChildGrace)) {
      return;
    }
  }
}

void ThrowSystemError(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

TerminationSignals::TerminationSignals(Report report) : report_(std::move(report)) {
  const sigset_t set = TerminationSet();
  signals_.Reset(signalfd(-1, &set, SFD_CLOEXEC));
  if (!signals_) {
    ThrowSystemError("signalfd failed");
  }
  wake_.Reset(eventfd(0, EFD_CLOEXEC));
  if (!wake_) {
    ThrowSystemError("eventfd failed");
  }
  // Blocked before the thread starts, so that it inherits the mask too and the signals
  // reach only the descriptor.
  pthread_sigmask(SIG_BLOCK, &set, &previousMask_);
  try {
    watcher_ = std::thread([this] { Watch(); });
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
    throw;
  }
  watching = true;
}

TerminationSignals::~TerminationSignals() {
  watching = false;
  const std::uint64_t one = 1;
  if (write(wake_.Get(), &one, sizeof one) == sizeof one) {
    watcher_.join();
  } else {
    watcher_.detach();  // it keeps watching a process that is about to end anyway
  }
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

std::string TerminationSignals::Name(int signal) {
  switch (signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal);
  }
}

void TerminationSignals::UnblockInChild() {
  const sigset_t set = TerminationSet();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void TerminationSignals::Watch() {
  pollfd watched[] = {{signals_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
  for (;;) {
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (watched[1].revents != 0) {
      return;
    }
    signalfd_siginfo info{};
    if (read(signals_.Get(), &info, sizeof info) == sizeof info) {
      Terminate(static_cast<int>(info.ssi_signo));
    }
  }
}

void TerminationSignals::Terminate(int signal) {
  terminating = true;
  const pid_t pid = childPid;
  const int pidfd = childPidfd;
  try {
    report_(signal);
  } catch (...) {  // NOLINT(bugprone-empty-catch): the end must not depend on the report
  }
  if (pid > 0) {
    StopChild(pid, pidfd);
  }
  _exit(ExitStatus(signal));
}

RunningChild::RunningChild(pid_t pid)
    : pid_(pid), outerPid_(childPid.load()), outerPidfd_(childPidfd.load()) {
  if (!watching) {
    return;
  }
  pidfd_.Reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  childPidfd = pidfd_.Get();
  childPid = pid;
  if (terminating) {
    // The watcher may have looked before the child was named: stop it here.
    StopChild(pid_, pidfd_.Get());
    Park();
  }
}

RunningChild::~RunningChild() {
  if (childPid != pid_) {
    return;  // never named: nobody watched when it started
  }
  childPid = outerPid_;
  childPidfd = outerPidfd_;
  if (terminating) {
    Park();  // the watcher may be stopping this child through pidfd_: keep it open
  }
}

}  // namespace sov::supervisor
