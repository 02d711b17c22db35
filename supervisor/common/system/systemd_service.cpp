// systemctl verbs for one unit.
#include "supervisor/common/system/systemd_service.h"

namespace sov::supervisor {

SystemdService::SystemdService(ivo::TracerPtr tracer,
                               std::string name,
                               std::unique_ptr<IServiceEnabler> enabler,
                               Path systemctl)
    : BaseService(std::move(tracer), std::move(name), std::move(enabler)),
      systemctl_(std::move(systemctl)) {}

std::vector<std::string> SystemdService::Verb(const char* verb) const {
  return {systemctl_.string(), verb, Name()};
}

void SystemdService::Start() {
  Run(Verb("start"), true);
}

void SystemdService::Stop() {
  Run(Verb("stop"), true);
}

std::vector<std::string> SystemdService::RestartCommand() const {
  return Verb("restart");
}

void SystemdService::TryRestart() {
  Run(Verb("try-restart"), false);
}

void SystemdService::Restart() {
  Run(RestartCommand(), true);
}

void SystemdService::RestartAsync() {
  Run({systemctl_.string(), "--no-block", "restart", Name()}, true);
}

bool SystemdService::IsActive() {
  return Run(Verb("status"), false) == 0;
}

}  // namespace sov::supervisor
