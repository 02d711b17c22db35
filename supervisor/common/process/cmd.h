// CmdObject runs one external program to completion with an explicit argument list (never
// a shell), feeds its standard output and error to sinks while it runs, traces the run and
// returns a Result. A failed run is not an exception until the caller checks the Result.
#pragma once

#include "ivo/tracer.h"

#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sov::supervisor {

class CmdObject {
 public:
  // Receives a child's output in the chunks that the pipe delivers, then one empty chunk
  // when the stream has ended, so that a sink that holds back a partial line can pass it on.
  using Sink = std::shared_ptr<std::function<void(std::string_view)>>;
  using Arguments = std::vector<std::string>;
  using Environment = std::map<std::string, std::string>;

  struct Result;
  using FailureHandler = std::function<void(const Result&)>;

  struct Result {
    // 0 on success; the exit status otherwise, or 1 when the program could not be run or
    // was ended by a signal.
    int code = 0;
    Arguments arguments;
    std::set<size_t> hidden;
    std::vector<FailureHandler> handlers;
    Environment environment;
    // With KeepCause, on failure: the first line that the program wrote to its standard
    // error, or why it could not be run; empty otherwise.
    std::string cause;

    // Calls every failure handler in order when code is not 0 (the default handler throws
    // "Cmd: <command line> failed with exit code <code>", followed by ": <cause>" when a
    // cause was kept).
    void Check() const;
    std::string CommandLine() const;
  };

  explicit CmdObject(ivo::ITracer* tracer);

  CmdObject& SetArgs(Arguments arguments);
  template <typename... More>
  CmdObject& SetArgs(const char* program, const More&... more) {
    return SetArgs(Arguments{program, more...});
  }
  CmdObject& AddArg(std::string argument);
  // The argument at `position` (0 is the program) is shown as "***" in traces and errors.
  CmdObject& HideArg(size_t position);
  CmdObject& AddEnv(std::string name, std::string value);
  CmdObject& SetOutput(Sink sink);
  CmdObject& SetError(Sink sink);
  // Standard output is traced at `level` and appended to `stream`.
  CmdObject& SetOutput(ivo::ITracer::TraceLevel level, std::ostream& stream);
  CmdObject& AddFailureHandler(FailureHandler handler);
  // An exit with `code` is an answer that the caller reads (a service that is not enabled,
  // a chain that does not exist), not a failure: it is traced at debug level as
  // "'<command line>' answered with exit code <code>" instead of at error level. The
  // Result and its check are the same.
  CmdObject& ExpectExitCode(int code);
  // Keeps the cause of a failure in the Result (see Result::cause), so that the message of
  // the check tells it and not only the trace. The error sink still gets all the output.
  CmdObject& KeepCause();

  static Sink MakeSink(std::ostream& stream);
  // Traces every line of the output as a record of its own at `level`: a line cut by a
  // read waits for its end, and a last line without one is traced when the stream ends.
  // A line longer than kLongestTracedLine bytes is traced in pieces of that length.
  static constexpr size_t kLongestTracedLine = size_t{64} * 1024;
  Sink MakeSink(ivo::ITracer::TraceLevel level) const;
  Sink MakeSink(std::vector<Sink> sinks) const;

  // Runs the program and waits for it, however long it takes. The program is an absolute
  // path or a name without "/" found in the system directories; otherwise the run fails
  // to start ("No such file or directory"). It gets only its standard streams and default
  // signal handling. Never throws because the program failed; an exception thrown by a
  // sink kills the program and leaves this call.
  Result operator()() const;

  std::string CommandLine() const;

 private:
  ivo::TracerPtr tracer_;
  Sink output_;
  Sink error_;
  Arguments arguments_;
  std::set<size_t> hidden_;
  Environment environment_;
  std::vector<FailureHandler> handlers_;
  std::set<int> expectedCodes_;
  bool keepCause_ = false;
};

}  // namespace sov::supervisor
