// How a rolled-back upgrade is told: the package manager's output shows the console
// warning, the journal (under systemd) the same warning as one entry at warning priority,
// and the trace file the sentence at error level. None changes an exit code: the product
// runs, only not the version that was installed.
#pragma once

#include "supervisor/common/traceable.h"
#include "supervisor/common/upgrade/version.h"

#include <string>

namespace sov::supervisor {

// Prints "Warning: the upgrade to version <failed> failed to start and was rolled back;
// version <running> runs." in warning colour to standard output, and traces the sentence
// (from "The upgrade") at error level under `step`. A `cause` ("at the export of the
// previous version's settings", FailedStartCause) takes the place of "to start".
void ReportRollback(const Traceable& tracing,
                    const char* step,
                    const Version& failed,
                    const Version& running,
                    const std::string& cause = "");

}  // namespace sov::supervisor
