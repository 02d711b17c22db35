// Boot-time enabling of a service with the tool of the init system in charge.
#include "supervisor/common/system/service_enabler.h"

#include "supervisor/common/process/cmd.h"

namespace sov::supervisor {

bool Systemctl::IsEnabled(const std::string& name) const {
  return CmdObject(Tracer().get()).SetArgs(Tool().c_str(), "is-enabled", name.c_str())().code == 0;
}

void Systemctl::Enable(const std::string& name) {
  if (!IsEnabled(name)) {
    CmdObject(Tracer().get()).SetArgs(Tool().c_str(), "enable", name.c_str())().Check();
  }
}

void Systemctl::Disable(const std::string& name) {
  if (IsEnabled(name)) {
    CmdObject(Tracer().get()).SetArgs(Tool().c_str(), "disable", name.c_str())().Check();
  }
}

void ChkConfig::Enable(const std::string& name) {
  CmdObject(Tracer().get()).SetArgs(Tool().c_str(), "--add", name.c_str())().Check();
}

void ChkConfig::Disable(const std::string& name) {
  CmdObject(Tracer().get()).SetArgs(Tool().c_str(), "--del", name.c_str())().Check();
}

void UpdateRcD::Enable(const std::string& name) {
  CmdObject(Tracer().get())
      .SetArgs(Tool().c_str(), name.c_str(), "start", "50", "2", "3", "4", "5", ".", "stop", "30",
               "0", "1", "6", ".")()
      .Check();
}

void UpdateRcD::Disable(const std::string& name) {
  CmdObject(Tracer().get()).SetArgs(Tool().c_str(), "-f", name.c_str(), "remove")().Check();
}

}  // namespace sov::supervisor
