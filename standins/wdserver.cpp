// Stand-in for the product's watchdog server. It accepts exactly the command line that the
// launcher's start builds (anything else exits 1 naming what is wrong), detaches, writes its
// pid file under flock before the caller may go on, runs the program after "-e" with the
// "--env" pairs, and on SIGTERM or SIGINT stops that program, removes its pid file and exits.
// It does not restart the program: when the program ends, the server records it and waits
// for its own stop. Each event is a line in the "--trace-file", whatever the trace level. A
// file "wdserver.fail" beside the executable makes it refuse to start (its content, when not
// empty, is the message); a file "wdserver.hang" there, when a stop signal comes, makes it
// ignore the signal, as a hung server would: then only SIGKILL ends it.
#include "sov_common/file_lock.h"
#include "sov_common/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using sov::tools::FileLock;
using sov::tools::UniqueFd;

constexpr int kFailed = 1;
constexpr int kAlreadyRunning = 2;
// How long a stopped program may take before it is killed.
constexpr int kStopTimeoutMs = 10000;

// ---------------------------------------------------------------------------------------
// The command line
// ---------------------------------------------------------------------------------------

struct Settings {
  std::string traceFile;
  std::string pidFile;
  mode_t umask = 077;
  std::vector<std::string> environment;  // NAME=VALUE, in command-line order
  std::string program;
};

using Check = bool (*)(const std::string&);

bool Any(const std::string&) {
  return true;
}
bool TraceLevel(const std::string& value) {
  return value == "0" || value == "800";
}
// The launcher resolves "auto" itself; the server never gets it.
bool MemoryLimit(const std::string& value) {
  return !value.empty() && value != "auto";
}
bool NonEmpty(const std::string& value) {
  return !value.empty();
}
bool Seconds(const std::string& value) {
  return value.size() >= 2 && value.back() == 's' &&
         value.find_first_not_of("0123456789") == value.size() - 1;
}

// The option pairs in the order the launcher writes them: a value is either fixed (`exact`)
// or accepted by `check`.
struct OptionRule {
  const char* name;
  const char* exact;
  Check check;
  const char* expected;  // for messages about a value that `check` refuses
};

// clang-format off
const OptionRule kOptions[] = {
    {"--trace-level", nullptr, TraceLevel, "0 or 800"},
    {"--trace-file", "/var/log/brevantis/tarn/tarn_wdserver.log", nullptr, nullptr},
    {"--trace-max-file-size", "100MB", nullptr, nullptr},
    {"--trace-max-file-count", "5", nullptr, nullptr},
    {"--failed-kill", "NONE", nullptr, nullptr},
    {"--wdsock", "/var/run/wdserver.sock", nullptr, nullptr},
    {"--coredump-signal", "5", nullptr, nullptr},
    {"--shutdown-signal", "15", nullptr, nullptr},
    {"--headshot-signal", "5", nullptr, nullptr},
    {"--umask", "63", nullptr, nullptr},
    {"-p", "/var/run/wdserver.pid", nullptr, nullptr},
    {"--n-restart", nullptr, Any, nullptr},
    {"--activity-timeout", nullptr, Any, nullptr},
    {"--startup-timeout", nullptr, Any, nullptr},
    {"--register-timeout", nullptr, Any, nullptr},
    {"--master-timeout", nullptr, Any, nullptr},
    {"--timeout-after-coredump-signal", nullptr, Any, nullptr},
    {"--timeout-after-shutdown-signal", nullptr, Any, nullptr},
    {"--timeout-after-headshot-signal", nullptr, Any, nullptr},
    {"--timeout-after-kill-signal", nullptr, Any, nullptr},
    {"--max-used-mem", nullptr, MemoryLimit, "a limit other than auto"},
    {"--max-used-vmem", nullptr, Any, nullptr},
    {"--max-used-swap", nullptr, Any, nullptr},
    {"--syscall-probe-period", nullptr, Any, nullptr},
    {"--syscall-check-period", nullptr, Any, nullptr},
    {"--worklog", nullptr, NonEmpty, "a file path"},
    {"--worklog-period", nullptr, Seconds, "a number of seconds such as 7200s"},
};
// clang-format on

// The "--env" names in their order: the first and the last always, the others when given.
const char* const kEnvironmentOrder[] = {"SOV_STARTUP_MODE", "LD_PRELOAD", "SOV_STARTUP_TRACES",
                                         "TERM"};

class ArgumentReader {
 public:
  ArgumentReader(int argc, char** argv) : argc_(argc), argv_(argv) {}

  bool AtEnd() const { return at_ >= argc_; }
  bool NextIs(const char* word) const { return !AtEnd() && argv_[at_] == std::string(word); }

  void Expect(const char* word) {
    if (!NextIs(word)) {
      Fail(std::string("expected \"") + word + "\", got " + Next());
    }
    ++at_;
  }

  std::string Value(const char* option) {
    if (AtEnd()) {
      Fail(std::string("the value of ") + option + " is missing");
    }
    return argv_[at_++];
  }

  void ExpectEnd() const {
    if (!AtEnd()) {
      Fail("unexpected " + Next() + " after the program path");
    }
  }

  // The next word, quoted, for messages.
  std::string Next() const {
    return AtEnd() ? std::string("the end of the arguments")
                   : "\"" + std::string(argv_[at_]) + "\"";
  }

  // A failure at the next word, or at the value just read.
  [[noreturn]] void Fail(const std::string& what) const { FailAt(at_, what); }
  [[noreturn]] void FailAtValue(const std::string& what) const { FailAt(at_ - 1, what); }

 private:
  [[noreturn]] static void FailAt(int position, const std::string& what) {
    throw std::runtime_error("argument " + std::to_string(position) + ": " + what);
  }

  int argc_;
  char** argv_;
  int at_ = 1;
};

void ReadOptions(ArgumentReader& reader, Settings& settings) {
  for (const OptionRule& rule : kOptions) {
    reader.Expect(rule.name);
    const std::string value = reader.Value(rule.name);
    if (rule.exact != nullptr ? value != rule.exact : !rule.check(value)) {
      reader.FailAtValue("bad value \"" + value + "\" of " + rule.name + " (expected " +
                         (rule.exact != nullptr ? rule.exact : rule.expected) + ")");
    }
    if (rule.name == std::string("--trace-file")) {
      settings.traceFile = value;
    } else if (rule.name == std::string("-p")) {
      settings.pidFile = value;
    } else if (rule.name == std::string("--umask")) {
      settings.umask = static_cast<mode_t>(std::stoul(value));
    }
  }
}

int EnvironmentRank(const std::string& name) {
  for (size_t rank = 0; rank < std::size(kEnvironmentOrder); ++rank) {
    if (name == kEnvironmentOrder[rank]) {
      return static_cast<int>(rank);
    }
  }
  return -1;
}

void ReadEnvironment(ArgumentReader& reader, Settings& settings) {
  const int last = static_cast<int>(std::size(kEnvironmentOrder)) - 1;
  int previous = -1;
  while (reader.NextIs("--env")) {
    reader.Expect("--env");
    const std::string pair = reader.Value("--env");
    const size_t equals = pair.find('=');
    if (equals == std::string::npos || equals == 0) {
      reader.FailAtValue("\"" + pair + "\" is not NAME=VALUE");
    }
    const std::string name = pair.substr(0, equals);
    const int rank = EnvironmentRank(name);
    // Strictly in the table's order, beginning with the first name.
    if (rank < 0 || rank <= previous || (previous < 0 && rank != 0)) {
      reader.FailAtValue("--env " + name +
                         " is out of place (expected SOV_STARTUP_MODE, then LD_PRELOAD and "
                         "SOV_STARTUP_TRACES when given, then TERM)");
    }
    if (rank == 0 && pair != "SOV_STARTUP_MODE=0" && pair != "SOV_STARTUP_MODE=1" &&
        pair != "SOV_STARTUP_MODE=2") {
      reader.FailAtValue("bad startup mode \"" + pair + "\" (expected 0, 1 or 2)");
    }
    settings.environment.push_back(pair);
    previous = rank;
  }
  if (previous != last) {
    reader.Fail(std::string("expected \"--env\" with ") +
                (previous < 0 ? "SOV_STARTUP_MODE" : "TERM") + ", got " + reader.Next());
  }
}

Settings ReadCommandLine(int argc, char** argv) {
  ArgumentReader reader(argc, argv);
  Settings settings;
  ReadOptions(reader, settings);
  if (reader.NextIs("--syscall-hangs")) {
    reader.Expect("--syscall-hangs");
  }
  ReadEnvironment(reader, settings);
  reader.Expect("-d");
  reader.Expect("-e");
  settings.program = reader.Value("-e");
  if (settings.program.empty() || settings.program.front() != '/') {
    reader.FailAtValue("the program \"" + settings.program + "\" is not an absolute path");
  }
  reader.ExpectEnd();
  return settings;
}

// ---------------------------------------------------------------------------------------
// Trace, pid file
// ---------------------------------------------------------------------------------------

// What Die needs to undo or tell: the trace file, the pid file once this process wrote it,
// and the pipe on which the caller waits for the verdict.
struct {
  std::string traceFile;
  std::string ownPidFile;
  int verdict = -1;
} server;

void RemovePidFile(const std::string& path);

// Appends "wdserver[<pid>]: <event>" to the trace file; a trace that cannot be written is
// dropped, as it must never stop the server.
void TraceEvent(const std::string& event) {
  if (server.traceFile.empty()) {
    return;
  }
  const UniqueFd fd(
      open(server.traceFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
  const std::string line = "wdserver[" + std::to_string(getpid()) + "]: " + event + "\n";
  if (fd) {
    [[maybe_unused]] const ssize_t written = write(fd.Get(), line.data(), line.size());
  }
}

std::string LinkTarget(const std::string& link) {
  char target[4096];
  const ssize_t size = readlink(link.c_str(), target, sizeof target);
  return size > 0 && static_cast<size_t>(size) < sizeof target
             ? std::string(target, static_cast<size_t>(size))
             : std::string();
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[256];
  ssize_t size = 0;
  while ((size = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<size_t>(size));
  }
  return text;
}

std::optional<pid_t> ParsePid(const std::string& text) {
  const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
  if (digits == 0 || digits > 9) {
    return std::nullopt;
  }
  return static_cast<pid_t>(std::stol(text.substr(0, digits)));
}

// Reports why the server cannot start, on stderr (still the caller's until the server has
// started) and in the trace, undoes the pid file and ends with `status`, which the caller's
// process exits with too.
[[noreturn]] void Die(const std::string& message, int status = kFailed) {
  std::fprintf(stderr, "wdserver: %s\n", message.c_str());
  TraceEvent("refused to start: " + message);
  if (!server.ownPidFile.empty()) {
    RemovePidFile(server.ownPidFile);
  }
  if (server.verdict >= 0) {
    const auto verdict = static_cast<unsigned char>(status);
    [[maybe_unused]] const ssize_t told = write(server.verdict, &verdict, 1);
  }
  std::exit(status);
}

std::string ErrnoText(const std::string& what, int error = errno) {
  return what + ": " + std::strerror(error);
}

// Writes our pid into the pid file under its flock, unless the pid there is a live server
// of this same executable (exit 2). The lock is held only while the file is read and
// written: the launcher's status query takes it too.
void WritePidFile(const std::string& path) {
  const UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd) {
    Die(ErrnoText("cannot open " + path));
  }
  const FileLock lock(fd.Get());
  if (!lock.Locked()) {
    Die(ErrnoText("cannot lock " + path, lock.Error()));
  }
  const std::optional<pid_t> holder = ParsePid(ReadAll(fd.Get()));
  if (holder && *holder != getpid() && kill(*holder, 0) == 0 &&
      LinkTarget("/proc/" + std::to_string(*holder) + "/exe") == LinkTarget("/proc/self/exe")) {
    Die("already running as pid " + std::to_string(*holder), kAlreadyRunning);
  }
  const std::string text = std::to_string(getpid()) + "\n";
  if (ftruncate(fd.Get(), 0) != 0 ||
      pwrite(fd.Get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    Die(ErrnoText("cannot write " + path));
  }
  server.ownPidFile = path;
}

// Removes the pid file if it still names this process.
void RemovePidFile(const std::string& path) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) {
    return;
  }
  const FileLock lock(fd.Get());
  if (ParsePid(ReadAll(fd.Get())) == getpid()) {
    unlink(path.c_str());
  }
}

// ---------------------------------------------------------------------------------------
// Detaching and the watched program
// ---------------------------------------------------------------------------------------

// Forks. The caller's process waits for one verdict byte from the server and exits with
// it (1 when the server ends without one); only the server returns, in a new session and
// without the caller's other descriptors. It returns the descriptor to send the verdict on.
UniqueFd Detach() {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    Die(ErrnoText("pipe"));
  }
  const pid_t server = fork();
  if (server < 0) {
    Die(ErrnoText("fork"));
  }
  if (server > 0) {
    close(ready[1]);
    unsigned char verdict = kFailed;
    ssize_t size = 0;
    while ((size = read(ready[0], &verdict, 1)) < 0 && errno == EINTR) {
    }
    std::exit(size == 1 ? verdict : kFailed);
  }
  // A daemon keeps nothing of its caller's but the standard streams, closed later too.
  const int kept = STDERR_FILENO + 1;
  if (ready[1] != kept && dup3(ready[1], kept, O_CLOEXEC) < 0) {
    Die(ErrnoText("dup3"));
  }
  close_range(kept + 1, ~0U, 0);
  setsid();
  return UniqueFd(kept);
}

void RedirectToNull(int fd) {
  const UniqueFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (null) {
    dup2(null.Get(), fd);
  }
}

// Starts the program with the server's environment plus the "--env" pairs, the standard
// streams on /dev/null, no blocked signals and the requested umask. Returns its pid, or
// dies with the reason when it cannot be executed.
pid_t StartProgram(const Settings& settings) {
  int status[2];
  if (pipe2(status, O_CLOEXEC) != 0) {
    Die(ErrnoText("pipe"));
  }
  const pid_t child = fork();
  if (child < 0) {
    Die(ErrnoText("fork"));
  }
  if (child == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
      RedirectToNull(fd);
    }
    umask(settings.umask);
    for (const std::string& pair : settings.environment) {
      putenv(const_cast<char*>(pair.c_str()));
    }
    char* const argv[] = {const_cast<char*>(settings.program.c_str()), nullptr};
    execv(argv[0], argv);
    const int error = errno;
    [[maybe_unused]] const ssize_t told = write(status[1], &error, sizeof error);
    _exit(127);
  }
  close(status[1]);
  int error = 0;
  const ssize_t size = read(status[0], &error, sizeof error);
  close(status[0]);
  if (size == sizeof error) {
    waitpid(child, nullptr, 0);
    Die(ErrnoText("cannot execute " + settings.program, error));
  }
  std::string event = "started " + settings.program + " pid=" + std::to_string(child);
  for (const std::string& pair : settings.environment) {
    event += " " + pair;
  }
  TraceEvent(event);
  return child;
}

std::string DescribeExit(int status) {
  return WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                             : "exited with status " + std::to_string(WEXITSTATUS(status));
}

// Reaps every ended child; returns true when `program` was among them (then it is 0).
bool ReapChildren(pid_t& program, const std::string& name) {
  bool reaped = false;
  int status = 0;
  pid_t child = 0;
  while ((child = waitpid(-1, &status, WNOHANG)) > 0) {
    if (child == program) {
      TraceEvent(name + " pid=" + std::to_string(child) + " " + DescribeExit(status));
      program = 0;
      reaped = true;
    }
  }
  return reaped;
}

// One signal from the signal descriptor; 0 on timeout.
int NextSignal(int signals, int timeoutMs) {
  pollfd ready{signals, POLLIN, 0};
  const int count = poll(&ready, 1, timeoutMs);
  signalfd_siginfo info{};
  if (count <= 0 || read(signals, &info, sizeof info) != sizeof info) {
    return 0;
  }
  return static_cast<int>(info.ssi_signo);
}

// The file `name` beside the executable.
std::string Marker(const char* name) {
  const std::string self = LinkTarget("/proc/self/exe");
  return self.substr(0, self.rfind('/') + 1) + name;
}

// Waits until SIGTERM or SIGINT, reaping children as they end; ignores them while the
// "wdserver.hang" marker exists.
void WatchUntilStopped(int signals, pid_t& program, const std::string& name) {
  for (;;) {
    const int signal = NextSignal(signals, -1);
    if (signal == SIGTERM || signal == SIGINT) {
      if (access(Marker("wdserver.hang").c_str(), F_OK) != 0) {
        return;
      }
      TraceEvent("hung: ignoring signal " + std::to_string(signal));
    }
    ReapChildren(program, name);
  }
}

void StopProgram(int signals, pid_t& program, const std::string& name) {
  if (program == 0) {
    return;
  }
  TraceEvent("stopping " + name + " pid=" + std::to_string(program));
  kill(program, SIGTERM);
  for (int waited = 0; program != 0 && waited < kStopTimeoutMs; waited += 100) {
    NextSignal(signals, 100);
    ReapChildren(program, name);
  }
  if (program != 0) {
    kill(program, SIGKILL);
    int status = 0;
    waitpid(program, &status, 0);
    TraceEvent(name + " pid=" + std::to_string(program) + " " + DescribeExit(status));
  }
}

void FailOnRequest() {
  const std::string marker = Marker("wdserver.fail");
  const UniqueFd fd(open(marker.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    return;
  }
  std::string message = ReadAll(fd.Get());
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
    message.pop_back();
  }
  Die(message.empty() ? "failing on purpose: " + marker + " exists" : message);
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  try {
    settings = ReadCommandLine(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "wdserver: %s\n", error.what());
    return kFailed;
  }
  server.traceFile = settings.traceFile;
  FailOnRequest();

  UniqueFd verdict = Detach();
  server.verdict = verdict.Get();
  WritePidFile(settings.pidFile);
  // The stop signals and SIGCHLD are read from a descriptor, so none is lost between the
  // checks of the watch loop.
  sigset_t handled;
  sigemptyset(&handled);
  for (int signal : {SIGTERM, SIGINT, SIGCHLD}) {
    sigaddset(&handled, signal);
  }
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  const UniqueFd signals(signalfd(-1, &handled, SFD_CLOEXEC));
  if (!signals) {
    Die(ErrnoText("signalfd"));
  }
  pid_t program = StartProgram(settings);
  // The caller reads our output until it ends: close the inherited streams before the
  // verdict lets it go on.
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    RedirectToNull(fd);
  }
  const unsigned char started = 0;
  [[maybe_unused]] const ssize_t told = write(verdict.Get(), &started, 1);
  server.verdict = -1;
  verdict.Reset();

  const std::string name = settings.program.substr(settings.program.rfind('/') + 1);
  WatchUntilStopped(signals.Get(), program, name);
  StopProgram(signals.Get(), program, name);
  RemovePidFile(settings.pidFile);
  TraceEvent("stopped");
  return 0;
}
