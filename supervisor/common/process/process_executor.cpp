// fork/exec with pipes, a polling wait under a deadline, and a double-fork detach. Every
// allocation happens before fork: between fork and exec only async-signal-safe calls run.
#include "supervisor/common/process/process_executor.h"

#include "sov_common/unique_fd.h"
#include "supervisor/common/process/exec_setup.h"
#include "supervisor/common/process/system_executable.h"
#include "supervisor/common/process/termination_signals.h"

#include <boost/format.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace sov::supervisor {
using sov::tools::UniqueFd;
using Clock = std::chrono::steady_clock;
namespace {

constexpr auto kRunningPoll = std::chrono::microseconds(5000);
constexpr auto kGracePoll = std::chrono::microseconds(1000);

// What a child reports through the close-on-exec status pipe when it cannot go on.
struct ChildFailure {
  int reason;
  int error;
};

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

bool OpenPipe(Pipe& pipe) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  pipe.read.Reset(fds[0]);
  pipe.write.Reset(fds[1]);
  return true;
}

// argv/envp as the C arrays execve wants, pointing into strings that outlive the exec.
class ExecArrays {
 public:
  ExecArrays(const std::vector<std::string>& arguments, const std::vector<std::string>& env) {
    for (const auto& argument : arguments) {
      argv_.push_back(const_cast<char*>(argument.c_str()));
    }
    argv_.push_back(nullptr);
    for (const auto& entry : env) {
      envp_.push_back(const_cast<char*>(entry.c_str()));
    }
    envp_.push_back(nullptr);
  }
  char* const* Argv() const { return argv_.data(); }
  char* const* Envp() const { return envp_.data(); }

 private:
  std::vector<char*> argv_;
  std::vector<char*> envp_;
};

[[noreturn]] void ReportAndExit(int statusFd, ExecutorReason reason, int error) {
  const ChildFailure failure{static_cast<int>(reason), error};
  [[maybe_unused]] const auto ignored = write(statusFd, &failure, sizeof failure);
  _exit(127);
}

// Waits for the status pipe to close (the exec happened) or to carry a failure.
std::optional<ChildFailure> ReadChildFailure(int statusFd) {
  ChildFailure failure{};
  ssize_t got;
  do {
    got = read(statusFd, &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    return failure;
  }
  return std::nullopt;
}

void MarkFailed(ExecutorResult& result, ExecutorReason reason, int error) {
  result.code = ivo::result::kSystemError;
  result.reason = reason;
  result.error = std::error_code(error, std::generic_category());
}

// What the child reported before it could execute the program; a missing program is
// named as such whichever step found it.
void MarkChildFailed(ExecutorResult& result, const ChildFailure& failure) {
  MarkFailed(result,
             failure.error == ENOENT ? ExecutorReason::kProgramNotFound
                                     : static_cast<ExecutorReason>(failure.reason),
             failure.error);
}

// Resolves the program; false (with the result filled) when it cannot be found.
bool ResolveProgram(const std::vector<std::string>& arguments,
                    ExecutorResult& result,
                    std::string& program) {
  const auto found = arguments.empty() ? std::nullopt : FindSystemExecutable(arguments.front());
  if (!found) {
    MarkFailed(result, ExecutorReason::kProgramNotFound, ENOENT);
    result.code = ivo::result::kNotFound;
    return false;
  }
  program = found->string();
  return true;
}

void SetStatus(ExecutorResult& result, int status) {
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.termSignal = WTERMSIG(status);
  }
}

// Collects the child's two output pipes without ever blocking on one of them.
class OutputCollector {
 public:
  OutputCollector(UniqueFd output, UniqueFd error) {
    streams_[0].fd = std::move(output);
    streams_[1].fd = std::move(error);
  }

  // Waits up to `timeout` for output, or for `exited` (a pidfd of the child; -1 when there
  // is none) to tell that the child ended, and reads the output that is there.
  void Poll(std::chrono::microseconds timeout, int exited) {
    std::array<pollfd, 3> fds{};
    nfds_t count = 0;
    for (auto& stream : streams_) {
      if (stream.fd) {
        fds[count++] = pollfd{stream.fd.Get(), POLLIN, 0};
      }
    }
    if (exited >= 0) {
      fds[count++] = pollfd{exited, POLLIN, 0};
    }
    if (count == 0) {
      std::this_thread::sleep_for(timeout);
      return;
    }
    const int timeoutMs = static_cast<int>((timeout.count() + 999) / 1000);
    if (poll(fds.data(), count, timeoutMs) <= 0) {
      return;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents != 0 && fds[i].fd != exited) {
        ReadFrom(fds[i].fd);
      }
    }
  }

  // After the child ended: reads what is left, without waiting for descendants that may
  // hold the pipes open.
  void Drain() {
    for (auto& stream : streams_) {
      while (stream.fd && ReadOnce(stream)) {
      }
    }
  }

  std::string& Output() { return streams_[0].text; }
  std::string& Error() { return streams_[1].text; }

 private:
  struct Stream {
    UniqueFd fd;
    std::string text;
  };

  void ReadFrom(int fd) {
    for (auto& stream : streams_) {
      if (stream.fd.Get() == fd) {
        ReadOnce(stream);
      }
    }
  }

  // Reads one chunk; false at end of file or when nothing is ready. An interrupted read
  // is repeated: taken for "nothing ready", it would end Drain with output still unread.
  static bool ReadOnce(Stream& stream) {
    std::array<char, 16384> buffer;
    ssize_t got;
    do {
      got = read(stream.fd.Get(), buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
      stream.text.append(buffer.data(), static_cast<size_t>(got));
      return true;
    }
    if (got == 0 || errno != EAGAIN) {
      stream.fd.Reset();
    }
    return false;
  }

  std::array<Stream, 2> streams_;
};

// Polls for the end of `child` until `limit`; true when it ended (status stored).
bool WaitUntil(pid_t child,
               Clock::time_point limit,
               std::chrono::microseconds interval,
               OutputCollector& collector,
               ExecutorResult& result,
               int& status) {
  // Without it, a child that closed its output just before it ended would be seen to end
  // only after a whole interval. A kernel without pidfds keeps the interval.
  const UniqueFd exited(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
  for (;;) {
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) {
      return true;
    }
    if (ended < 0 && errno != EINTR) {
      MarkFailed(result, ExecutorReason::kWaitpid, errno);
      return true;
    }
    if (Clock::now() >= limit) {
      return false;
    }
    collector.Poll(interval, exited.Get());
  }
}

// SIGTERM, a grace period, then SIGKILL; the child is always reaped.
void Terminate(pid_t child,
               std::chrono::milliseconds grace,
               OutputCollector& collector,
               ExecutorResult& result,
               int& status) {
  result.code = ivo::result::kTimeout;
  if (kill(child, SIGTERM) != 0) {
    MarkFailed(result, ExecutorReason::kSendSigterm, errno);
  } else if (WaitUntil(child, Clock::now() + grace, kGracePoll, collector, result, status)) {
    return;
  }
  if (kill(child, SIGKILL) != 0 && errno != ESRCH) {
    MarkFailed(result, ExecutorReason::kSendSigkill, errno);
  }
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      MarkFailed(result, ExecutorReason::kWaitSigkill, errno);
      return;
    }
  }
}

}  // namespace

std::vector<std::string> ProcessExecutor::ChildEnvironment(const Environment& additions) {
  static const char* const kInherited[] = {"PATH",       "LANG",     "TZ",          "LC_ALL",
                                           "LC_COLLATE", "LC_CTYPE", "LC_MESSAGES", "LC_MONETARY",
                                           "LC_NUMERIC", "LC_TIME",  "TERM"};
  std::vector<std::string> env;
  for (const char* name : kInherited) {
    if (additions.count(name) == 0) {
      if (const char* value = std::getenv(name)) {
        env.push_back(std::string(name) + "=" + value);
      }
    }
  }
  for (const auto& [name, value] : additions) {
    env.push_back(name + "=" + value);
  }
  return env;
}

ExecutorResult ProcessExecutor::Run(const std::vector<std::string>& arguments,
                                    const Environment& additions,
                                    std::chrono::milliseconds deadline,
                                    std::chrono::milliseconds grace) {
  ExecutorResult result;
  result.arguments = arguments;
  std::string program;
  if (!ResolveProgram(arguments, result, program)) {
    return result;
  }
  Pipe input, output, error, status;
  if (!OpenPipe(input)) {
    MarkFailed(result, ExecutorReason::kInputPipe, errno);
    return result;
  }
  if (!OpenPipe(output) || !OpenPipe(error) || !OpenPipe(status)) {
    MarkFailed(result, ExecutorReason::kOutputPipe, errno);
    return result;
  }
  const auto env = ChildEnvironment(additions);
  const ExecArrays exec(arguments, env);

  const pid_t child = fork();
  if (child < 0) {
    MarkFailed(result, ExecutorReason::kFork, errno);
    return result;
  }
  if (child == 0) {
    if (dup2(input.read.Get(), STDIN_FILENO) < 0 || dup2(output.write.Get(), STDOUT_FILENO) < 0 ||
        dup2(error.write.Get(), STDERR_FILENO) < 0) {
      ReportAndExit(status.write.Get(), ExecutorReason::kOutputPipe, errno);
    }
    PrepareChildForExec();
    execve(program.c_str(), exec.Argv(), exec.Envp());
    ReportAndExit(status.write.Get(), ExecutorReason::kNone, errno);
  }

  const RunningChild running(child);
  const auto limit = Clock::now() + deadline;
  input = Pipe{};  // the child reads end of file at once
  output.write.Reset();
  error.write.Reset();
  status.write.Reset();
  fcntl(output.read.Get(), F_SETFL, O_NONBLOCK);
  fcntl(error.read.Get(), F_SETFL, O_NONBLOCK);
  OutputCollector collector(std::move(output.read), std::move(error.read));

  int childStatus = 0;
  if (const auto failure = ReadChildFailure(status.read.Get())) {
    waitpid(child, &childStatus, 0);
    MarkChildFailed(result, *failure);
    return result;
  }
  if (!WaitUntil(child, limit, kRunningPoll, collector, result, childStatus)) {
    Terminate(child, grace, collector, result, childStatus);
  }
  if (result.reason == ExecutorReason::kNone || result.reason == ExecutorReason::kSendSigterm) {
    SetStatus(result, childStatus);
  }
  collector.Drain();
  result.output = std::move(collector.Output());
  result.errorOutput = std::move(collector.Error());
  return result;
}

ExecutorResult ProcessExecutor::RunDetached(const std::vector<std::string>& arguments,
                                            const Environment& additions) {
  ExecutorResult result;
  result.arguments = arguments;
  std::string program;
  if (!ResolveProgram(arguments, result, program)) {
    return result;
  }
  Pipe status;
  if (!OpenPipe(status)) {
    MarkFailed(result, ExecutorReason::kOutputPipe, errno);
    return result;
  }
  const auto env = ChildEnvironment(additions);
  const ExecArrays exec(arguments, env);

  const pid_t intermediate = fork();
  if (intermediate < 0) {
    MarkFailed(result, ExecutorReason::kFork, errno);
    return result;
  }
  if (intermediate == 0) {
    // A new session leader that ignores the hangup of the caller's terminal while it
    // leaves its child to init.
    setsid();
    signal(SIGHUP, SIG_IGN);
    umask(0);
    const pid_t grandchild = fork();
    if (grandchild < 0) {
      ReportAndExit(status.write.Get(), ExecutorReason::kFork, errno);
    }
    if (grandchild > 0) {
      _exit(0);
    }
    const int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0 ||
        dup2(null, STDERR_FILENO) < 0) {
      ReportAndExit(status.write.Get(), ExecutorReason::kOutputPipe, errno);
    }
    if (null > STDERR_FILENO) {
      close(null);
    }
    // The program starts clean: an ignored SIGHUP, or a package script's pipe that its
    // package manager waits on, would otherwise reach the watchdog server and the product.
    PrepareChildForExec();
    execve(program.c_str(), exec.Argv(), exec.Envp());
    ReportAndExit(status.write.Get(), ExecutorReason::kNone, errno);
  }

  status.write.Reset();
  int intermediateStatus = 0;
  while (waitpid(intermediate, &intermediateStatus, 0) < 0) {
    if (errno != EINTR) {
      MarkFailed(result, ExecutorReason::kWaitpid, errno);
      return result;
    }
  }
  if (const auto failure = ReadChildFailure(status.read.Get())) {
    MarkChildFailed(result, *failure);
  }
  return result;
}

std::string ExecutorResult::ToString() const {
  std::string text = "Program";
  for (const auto& argument : arguments) {
    text.append(" ").append(argument);
  }
  text += (boost::format(" finished with reason: 0x%08x (%s)") % static_cast<std::uint32_t>(code) %
           ivo::DescribeResult(code))
              .str();
  if (exitStatus) {
    text += (boost::format(", Exit code: %1%") % *exitStatus).str();
  }
  if (termSignal) {
    text += (boost::format(", Term signal: %1%") % *termSignal).str();
  }
  if (error.value() != 0) {
    text += ", Error code: " + error.message();
  }
  switch (reason) {
    case ExecutorReason::kInputPipe:
      text += ", input pipe2 failed";
      break;
    case ExecutorReason::kOutputPipe:
      text += ", output pipe2 failed";
      break;
    case ExecutorReason::kProgramNotFound:
      text += ", program not found";
      break;
    case ExecutorReason::kFork:
      text += ", fork failed";
      break;
    case ExecutorReason::kWaitpid:
      text += ", waitpid failed";
      break;
    case ExecutorReason::kSendSigterm:
      text += ", send SIGTERM failed";
      break;
    case ExecutorReason::kSendSigkill:
      text += ", send SIGKILL failed";
      break;
    case ExecutorReason::kWaitSigkill:
      text += ", wait SIGKILL failed";
      break;
    case ExecutorReason::kNone:
      break;
  }
  if (output) {
    text += ", output: '" + *output + "'";
  }
  if (errorOutput && !errorOutput->empty()) {
    text += ", stderr: '" + *errorOutput + "'";
  }
  return text;
}

}  // namespace sov::supervisor
