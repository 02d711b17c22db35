// Asking the management agent to reload its connectors (SIGHUP to the pid in its pid
// file), and the marker file with which an administrator switches that off. Nothing here
// throws for a missing agent, an unreadable pid file, a failed signal or a marker that
// cannot be created: each is traced and the caller goes on.
#pragma once

#include "supervisor/common/files/utils.h"

namespace sov::supervisor {

class ConnectorReload : public Utils {
 public:
  // `agentPidFile` is normally "/var/run/qvnagent.pid".
  ConnectorReload(ivo::TracerPtr tracer, Path agentPidFile);

  // Sends SIGHUP to the agent unless `marker` exists. A pid that is not a positive number
  // is refused like unreadable content: 0 or a negative value would signal a whole
  // process group or every process.
  void Reload(const Path& marker) const;
  // Removes `marker`.
  void Enable(const Path& marker) const;
  // Creates `marker` (mode 0, content never read).
  void Disable(const Path& marker) const;

 private:
  Path agentPidFile_;
};

}  // namespace sov::supervisor
