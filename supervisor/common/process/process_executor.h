// The process executor: runs a program with a clean environment, either waiting for it
// under a deadline (SIGTERM, a grace period, then SIGKILL) or detached so that it outlives
// the launcher. Used where CmdObject's wait-forever run is wrong: the settings export of
// the previous patch and the asynchronous restart.
#pragma once

#include "ivo/result.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace sov::supervisor {

enum class ExecutorReason {
  kNone = 0,
  kInputPipe = 2,
  kOutputPipe = 3,
  kProgramNotFound = 5,
  kFork = 6,
  kWaitpid = 7,
  kSendSigterm = 8,
  kSendSigkill = 9,
  kWaitSigkill = 10,
};

struct ExecutorResult {
  std::vector<std::string> arguments;
  ivo::ResultCode code = ivo::result::kOk;
  std::optional<int> exitStatus;
  std::optional<int> termSignal;
  std::error_code error;
  ExecutorReason reason = ExecutorReason::kNone;
  std::optional<std::string> output;
  std::optional<std::string> errorOutput;

  // True when the program ran and exited with status 0.
  bool Succeeded() const { return code == ivo::result::kOk && exitStatus == 0; }
  // "Program a b finished with reason: 0x00000000 (Success), Exit code: 0" and so on.
  std::string ToString() const;
};

class ProcessExecutor {
 public:
  using Environment = std::map<std::string, std::string>;

  // The child's environment: the launcher's PATH, LANG, TZ, LC_* and TERM where set, plus
  // `additions` (which win over those of the same name).
  static std::vector<std::string> ChildEnvironment(const Environment& additions);

  // Runs `arguments` (program first: an absolute path, or a name without "/" looked up in
  // the system directories; anything else is kNotFound and nothing starts), capturing both
  // outputs. Past `deadline` the child gets SIGTERM, after `grace` SIGKILL; the result code
  // is then kTimeout. Both forms start the program with only its standard streams open and
  // with default signal handling.
  static ExecutorResult Run(const std::vector<std::string>& arguments,
                            const Environment& additions,
                            std::chrono::milliseconds deadline,
                            std::chrono::milliseconds grace);

  // Starts `arguments` in a new session through an intermediate process and returns once
  // the program has been executed (or failed to be). Its standard streams are the null
  // device, so it survives the end of the caller's terminal or pipe.
  static ExecutorResult RunDetached(const std::vector<std::string>& arguments,
                                    const Environment& additions);
};

}  // namespace sov::supervisor
