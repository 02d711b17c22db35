// Product events written by the launcher for the product's other programs. Each event is
// one JSON file in the offline events directory ("/var/opt/brevantis/tarn/common/
// offline-events/"), named "<UTC date and time with microseconds>-<pid>-<sequence>.json"
// so that two events of the same second never share a name:
//   {"EventType": "<name>", "DangerLevel": "Info|Warning|Critical",
//    "Date": "2026-12-10T04:16:12.102345", "Arguments": ["...", ...]}
// "Date" is UTC. A file appears complete or not at all: readers take only names ending
// in ".json" (files being written end in ".json.tmp.XXXXXX").
#pragma once

#include "supervisor/common/traceable.h"

#include <string>
#include <vector>

namespace sov::supervisor {

enum class EventName {
  PatchInstallStarted,
  PatchInstalled,
  ProgramRestartRequired,
  OsRebootRequired,
  IntegrityCheckPassed,
  IntegrityCheckFailed,
  KernelModuleBuildFailed,
};

std::string ToString(EventName name);
const char* DangerLevelOf(EventName name);

class EventSender : public Traceable {
 public:
  EventSender(ivo::TracerPtr tracer, Path directory);

  // Writes the event and returns its file; traces "Event <name> has written to <file>".
  // Throws std::runtime_error "Can't create <file>" or "Can't chmod <file>" (with the
  // system's reason appended) when the file cannot be written.
  Path Send(EventName name, const std::vector<std::string>& arguments) const;

 private:
  Path directory_;
};

}  // namespace sov::supervisor
