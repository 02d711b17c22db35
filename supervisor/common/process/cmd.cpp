// External command runner on Boost.Process: both output pipes are read by one asio loop
// while the child runs, so a child that fills one pipe while we wait on the other cannot
// deadlock. Program names without a slash are looked up in the fixed system directories;
// a name that is not found is never handed to execve as it is.
#include "supervisor/common/process/cmd.h"

#include "sov_common/control_escape.h"
#include "supervisor/common/process/exec_setup.h"
#include "supervisor/common/process/system_executable.h"
#include "supervisor/common/process/termination_signals.h"
#include "supervisor/common/traceable.h"

#include <boost/algorithm/string/join.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/format.hpp>
#include <boost/process/args.hpp>
#include <boost/process/async_pipe.hpp>
#include <boost/process/child.hpp>
#include <boost/process/env.hpp>
#include <boost/process/environment.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/extend.hpp>
#include <boost/process/io.hpp>
#include <boost/throw_exception.hpp>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace sov::supervisor {
namespace bp = boost::process;
namespace {

std::string JoinCommandLine(const CmdObject::Arguments& arguments, const std::set<size_t>& hidden) {
  std::string line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i != 0) {
      line.push_back(' ');
    }
    line.append(hidden.count(i) != 0 ? "***" : arguments[i]);
  }
  return line;
}

void ThrowCommandFailed(const CmdObject::Result& result) {
  std::string message =
      (boost::format("Cmd: %1% failed with exit code %2%") % result.CommandLine() % result.code)
          .str();
  if (!result.cause.empty()) {
    message.append(": ").append(result.cause);
  }
  BOOST_THROW_EXCEPTION(std::runtime_error(message));
}

// Keeps the first non-empty line of a stream, bounded: a program that writes without line
// ends must not make the launcher hold all of it.
class FirstLine {
 public:
  static constexpr size_t kLongest = 1024;

  void operator()(std::string_view chunk) {
    while (!done_ && !chunk.empty()) {
      const size_t end = chunk.find('\n');
      line_.append(chunk.substr(0, std::min(end, kLongest - line_.size())));
      if (line_.size() >= kLongest || (end != std::string_view::npos && !line_.empty())) {
        done_ = true;
      }
      if (end == std::string_view::npos) {
        break;
      }
      chunk.remove_prefix(end + 1);
    }
  }

  const std::string& Line() const { return line_; }

 private:
  std::string line_;
  bool done_ = false;
};

CmdObject::Sink KeepingSink(const std::shared_ptr<FirstLine>& keeper) {
  return std::make_shared<std::function<void(std::string_view)>>(
      [keeper](std::string_view chunk) { (*keeper)(chunk); });
}

// The trace sink of a child's output. Each trace record is one line with the trace's own
// prefix and line end, so a line never spans two records and no record holds a line
// without its prefix. A child that writes without line ends must not make the launcher
// hold all of it: a line longer than kLongestTracedLine bytes is traced in pieces of that
// length.
class LineTracer {
 public:
  LineTracer(ivo::TracerPtr tracer, ivo::ITracer::TraceLevel level)
      : tracer_(std::move(tracer)), level_(level) {}

  void operator()(std::string_view chunk) {
    if (!ivo::IsEnabled(tracer_.get(), level_)) {
      return;
    }
    if (chunk.empty()) {  // the end of the stream
      if (!partial_.empty()) {
        EndLine();
      }
    }
    while (!chunk.empty()) {
      const size_t end = chunk.find('\n');
      Append(chunk.substr(0, end));
      if (end == std::string_view::npos) {
        break;
      }
      EndLine();
      chunk.remove_prefix(end + 1);
    }
    Flush();
  }

 private:
  void Append(std::string_view text) {
    constexpr size_t kLongest = CmdObject::kLongestTracedLine;
    partial_.append(text);
    while (partial_.size() > kLongest) {
      complete_.push_back(partial_.substr(0, kLongest));
      partial_.erase(0, kLongest);
    }
  }

  void EndLine() {
    complete_.push_back(std::move(partial_));
    partial_.clear();
  }

  // The lines that a chunk completed go to the trace together: a verbose cp run gives ten
  // thousand of them, which would otherwise be as many writes.
  void Flush() {
    if (complete_.empty()) {
      return;
    }
    const std::vector<std::string_view> lines(complete_.begin(), complete_.end());
    tracer_->TraceLines(level_, lines);
    complete_.clear();
  }

  ivo::TracerPtr tracer_;
  ivo::ITracer::TraceLevel level_;
  std::string partial_;
  std::vector<std::string> complete_;
};

// Reads one pipe into its sink until end of file, re-arming itself after every chunk; the
// empty chunk at the end tells the sink that the stream is over.
class PipePump {
 public:
  PipePump(bp::async_pipe& pipe, const CmdObject::Sink& sink) : pipe_(pipe), sink_(sink) {}

  void Start() {
    pipe_.async_read_some(boost::asio::buffer(buffer_),
                          [this](const boost::system::error_code& error, size_t size) {
                            if (!sink_ || !*sink_) {
                              if (!error) {
                                Start();
                              }
                              return;
                            }
                            if (size > 0) {
                              (*sink_)(std::string_view(buffer_.data(), size));
                            }
                            if (error) {
                              (*sink_)(std::string_view());
                            } else {
                              Start();
                            }
                          });
  }

 private:
  bp::async_pipe& pipe_;
  const CmdObject::Sink& sink_;
  // Not zeroed: only what the kernel filled is read. Zeroing the two pumps' buffers wrote
  // 32 pages of stack on every command run.
  std::array<char, 65536> buffer_;
};

// Runs in the child just before execve. Boost.Process reports a failed exec through a
// close-on-exec pipe, which therefore must stay open until then.
struct CleanExecState : bp::extend::handler {
  template <typename Executor>
  void on_exec_setup(Executor& /*executor*/) const {
    PrepareChildForExec();
  }
};

// Kills and reaps the child: Boost's own clean-up sends SIGKILL without waiting, which
// would leave a zombie behind.
void EndChild(bp::child& child) {
  const pid_t pid = child.id();
  child.detach();
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Runs `program` to its end with both pipes pumped into the sinks; the wait status, or
// the error that kept the program from starting or from being waited for. A sink that
// throws ends the child and leaves this call.
std::error_code RunToEnd(const std::string& program,
                         const CmdObject::Arguments& arguments,
                         const CmdObject::Environment& additions,
                         const CmdObject::Sink& output,
                         const CmdObject::Sink& error,
                         int& status) {
  bp::environment environment = boost::this_process::environment();
  for (const auto& [name, value] : additions) {
    // set(), not operator[]: the lookup behind operator[] of this Boost version reads
    // past the end of shorter variables.
    environment.set(name, value);
  }
  boost::asio::io_context io;
  bp::async_pipe outputPipe(io);
  bp::async_pipe errorPipe(io);
  std::error_code failure;
  bp::child child(bp::exe = program,
                  bp::args = CmdObject::Arguments(arguments.begin() + 1, arguments.end()),
                  (bp::std_in < bp::null), (bp::std_out > outputPipe), (bp::std_err > errorPipe),
                  environment, CleanExecState{}, failure);
  if (failure) {
    return failure;
  }
  const RunningChild running(child.id());
  PipePump outputPump(outputPipe, output);
  PipePump errorPump(errorPipe, error);
  outputPump.Start();
  errorPump.Start();
  try {
    io.run();  // returns when both pipes reached end of file
  } catch (...) {
    EndChild(child);
    throw;
  }
  child.wait(failure);
  status = child.native_exit_code();
  return failure;
}

// The result code of a run: the exit status, or 1 when the program could not be run or
// was ended by a signal, which is traced.
int OutcomeCode(const std::error_code& error,
                int status,
                const std::string& commandLine,
                ivo::ITracer* tracer) {
  if (error) {
    if (ivo::IsEnabled(tracer, kTraceError)) {
      tracer->Trace(kTraceError, Concat("'", commandLine, "' failed. Reason: ", error.message()));
    }
    return 1;
  }
  if (WIFSIGNALED(status)) {
    if (ivo::IsEnabled(tracer, kTraceError)) {
      tracer->Trace(kTraceError, Concat("'", commandLine, "' failed by signal ", WTERMSIG(status)));
    }
    return 1;
  }
  return WEXITSTATUS(status);
}

// A code that the caller expects is an answer, at debug level; any other a failure.
void TraceExitCode(ivo::ITracer* tracer, const std::string& commandLine, int code, bool answered) {
  const TraceLevel level = answered ? kTraceDebug : kTraceError;
  if (ivo::IsEnabled(tracer, level)) {
    tracer->Trace(
        level, Concat("'", commandLine,
                      answered ? "' answered with exit code " : "' failed with exit code ", code));
  }
}

}  // namespace

void CmdObject::Result::Check() const {
  if (code == 0) {
    return;
  }
  for (const auto& handler : handlers) {
    handler(*this);
  }
}

std::string CmdObject::Result::CommandLine() const {
  return JoinCommandLine(arguments, hidden);
}

CmdObject::CmdObject(ivo::ITracer* tracer) : tracer_(tracer), handlers_{&ThrowCommandFailed} {
  output_ = MakeSink(ivo::ITracer::kDebug);
  error_ = MakeSink(ivo::ITracer::kDebug);
}

CmdObject& CmdObject::SetArgs(Arguments arguments) {
  arguments_ = std::move(arguments);
  return *this;
}

CmdObject& CmdObject::AddArg(std::string argument) {
  arguments_.push_back(std::move(argument));
  return *this;
}

CmdObject& CmdObject::HideArg(size_t position) {
  hidden_.insert(position);
  return *this;
}

CmdObject& CmdObject::AddEnv(std::string name, std::string value) {
  environment_[std::move(name)] = std::move(value);
  return *this;
}

CmdObject& CmdObject::SetOutput(Sink sink) {
  output_ = std::move(sink);
  return *this;
}

CmdObject& CmdObject::SetError(Sink sink) {
  error_ = std::move(sink);
  return *this;
}

CmdObject& CmdObject::SetOutput(ivo::ITracer::TraceLevel level, std::ostream& stream) {
  return SetOutput(MakeSink({MakeSink(level), MakeSink(stream)}));
}

CmdObject& CmdObject::AddFailureHandler(FailureHandler handler) {
  handlers_.push_back(std::move(handler));
  return *this;
}

CmdObject& CmdObject::ExpectExitCode(int code) {
  expectedCodes_.insert(code);
  return *this;
}

CmdObject& CmdObject::KeepCause() {
  keepCause_ = true;
  return *this;
}

CmdObject::Sink CmdObject::MakeSink(std::ostream& stream) {
  return std::make_shared<std::function<void(std::string_view)>>([&stream](std::string_view chunk) {
    stream.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  });
}

CmdObject::Sink CmdObject::MakeSink(ivo::ITracer::TraceLevel level) const {
  return std::make_shared<std::function<void(std::string_view)>>(LineTracer(tracer_, level));
}

CmdObject::Sink CmdObject::MakeSink(std::vector<Sink> sinks) const {
  return std::make_shared<std::function<void(std::string_view)>>(
      [sinks = std::move(sinks)](std::string_view chunk) {
        for (const auto& sink : sinks) {
          if (sink && *sink) {
            (*sink)(chunk);
          }
        }
      });
}

std::string CmdObject::CommandLine() const {
  return JoinCommandLine(arguments_, hidden_);
}

CmdObject::Result CmdObject::operator()() const {
  const std::string commandLine = CommandLine();
  auto* tracer = tracer_.get();
  if (ivo::IsEnabled(tracer, kTraceDebug)) {
    tracer->Trace(kTraceDebug, Concat("Running '", commandLine, "' ..."));
  }

  Result result{0, arguments_, hidden_, handlers_, environment_, {}};
  // The cause is kept from the stream as it passes to the error sink.
  const auto firstErrorLine = keepCause_ ? std::make_shared<FirstLine>() : nullptr;
  const Sink errorSink = firstErrorLine ? MakeSink({error_, KeepingSink(firstErrorLine)}) : error_;
  std::error_code error;
  int status = 0;
  if (arguments_.empty()) {
    error = std::make_error_code(std::errc::invalid_argument);
  } else if (const auto program = FindSystemExecutable(arguments_.front())) {
    error = RunToEnd(program->string(), arguments_, environment_, output_, errorSink, status);
  } else {
    error = std::make_error_code(std::errc::no_such_file_or_directory);
  }

  result.code = OutcomeCode(error, status, commandLine, tracer);
  if (result.code != 0) {
    const bool answered = !error && WIFEXITED(status) && expectedCodes_.count(result.code) != 0;
    TraceExitCode(tracer, commandLine, result.code, answered);
  }
  if (firstErrorLine && result.code != 0) {
    // The program's own words go to a console: no control sequence of theirs reaches it.
    result.cause =
        error ? error.message() : sov::tools::EscapeControlCharacters(firstErrorLine->Line());
  }
  return result;
}

}  // namespace sov::supervisor
