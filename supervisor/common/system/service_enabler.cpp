// Boot-time enabling of a service with the tool of the init system in charge.
#include "supervisor/common/system/service_enabler.h"

#include "supervisor/common/process/cmd.h"

#include <sstream>

namespace sov::supervisor {

Systemctl::UnitFileState Systemctl::QueryState(const std::string& name) const {
  std::ostringstream output;
  // 1 is how systemctl answers "disabled", "masked" and the other states that are not
  // enabled: an answer, not a failure. Without a state word it was a failure.
  const auto result = CmdObject(Tracer().get())
                          .SetArgs(Tool().c_str(), "is-enabled", name.c_str())
                          .SetOutput(ivo::ITracer::kDebug, output)
                          .ExpectExitCode(1)();
  const std::string text = output.str();
  const std::string answer = text.substr(0, text.find('\n'));
  if (answer == "masked" || answer == "masked-runtime") {
    return UnitFileState::kMasked;
  }
  if (result.code != 0 && answer.empty()) {
    Trace(kTraceError, "QueryState", "systemctl is-enabled ", name, " gave no answer (exit code ",
          result.code, "); taken as not enabled");
  }
  return result.code == 0 ? UnitFileState::kEnabled : UnitFileState::kDisabled;
}

bool Systemctl::IsMasked(const std::string& name) const {
  return QueryState(name) == UnitFileState::kMasked;
}

bool Systemctl::Enable(const std::string& name) {
  switch (QueryState(name)) {
    case UnitFileState::kEnabled:
      break;
    case UnitFileState::kMasked:
      // "systemctl enable" would fail on it; an administrator's mask is not ours to lift.
      Trace(kTraceWarning, "Enable", "Service ", name, " is masked; it stays masked, not enabled");
      return false;
    case UnitFileState::kDisabled:
      CmdObject(Tracer().get()).SetArgs(Tool().c_str(), "enable", name.c_str())().Check();
      break;
  }
  return true;
}

void Systemctl::Disable(const std::string& name) {
  if (QueryState(name) == UnitFileState::kEnabled) {
    CmdObject(Tracer().get()).SetArgs(Tool().c_str(), "disable", name.c_str())().Check();
  }
}

bool ChkConfig::Enable(const std::string& name) {
  CmdObject(Tracer().get()).SetArgs(Tool().c_str(), "--add", name.c_str())().Check();
  return true;
}

void ChkConfig::Disable(const std::string& name) {
  CmdObject(Tracer().get()).SetArgs(Tool().c_str(), "--del", name.c_str())().Check();
}

bool UpdateRcD::Enable(const std::string& name) {
  CmdObject(Tracer().get())
      .SetArgs(Tool().c_str(), name.c_str(), "start", "50", "2", "3", "4", "5", ".", "stop", "30",
               "0", "1", "6", ".")()
      .Check();
  return true;
}

void UpdateRcD::Disable(const std::string& name) {
  CmdObject(Tracer().get()).SetArgs(Tool().c_str(), "-f", name.c_str(), "remove")().Check();
}

}  // namespace sov::supervisor
