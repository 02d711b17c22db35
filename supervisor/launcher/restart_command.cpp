// The restart command.
#include "supervisor/launcher/restart_command.h"

#include "supervisor/launcher/launcher.h"

namespace sov::supervisor {

int RestartCommand::operator()() {
  constexpr const char* kRun = "operator()";
  Service service = GetLauncher().MakeService(ProductPaths(Tracer()));
  Trace(kTraceDebug, kRun, "Initializing product restart ...");
  service.RestartAsync();
  Trace(kTraceDebug, kRun, "Product restart initialized");
  return 0;
}

}  // namespace sov::supervisor
