// The report of a rolled-back upgrade, shared by the start that rolled back and by the
// install whose restart it was.
#include "supervisor/launcher/rollback_report.h"

#include "supervisor/common/console.h"

#include <iostream>

namespace sov::supervisor {

void ReportRollback(const Traceable& tracing,
                    const char* step,
                    const Version& failed,
                    const Version& running,
                    const std::string& cause) {
  const std::string outcome =
      Concat(failed.ToString(), " failed ", cause.empty() ? "to start" : cause,
             " and was rolled back; version ", running.ToString(), " runs.");
  tracing.Trace(kTraceError, step, "The upgrade to version ", outcome);
  // Traced above as an error already; the console line is not traced again.
  PrintLine(nullptr, std::cout, kTraceWarning,
            "\n<YELLOW>Warning: the upgrade to version " + outcome + "</YELLOW>\n");
}

}  // namespace sov::supervisor
