// "service" verbs for one SysV init script.
#include "supervisor/common/system/init_service.h"

namespace sov::supervisor {

InitService::InitService(ivo::TracerPtr tracer,
                         std::string name,
                         std::unique_ptr<IServiceEnabler> enabler,
                         Path service)
    : BaseService(std::move(tracer), std::move(name), std::move(enabler)),
      service_(std::move(service)) {}

std::vector<std::string> InitService::Verb(const char* verb) const {
  return {service_.string(), Name(), verb};
}

void InitService::Start() {
  Run(Verb("start"), true);
}

void InitService::Stop() {
  Run(Verb("stop"), true);
}

std::vector<std::string> InitService::RestartCommand() const {
  return Verb("restart");
}

void InitService::TryRestart() {
  Run(RestartCommand(), false);
}

void InitService::Restart() {
  Run(RestartCommand(), true);
}

void InitService::RestartAsync() {
  Restart();
}

bool InitService::IsActive() {
  return Run(Verb("status"), false) == 0;
}

}  // namespace sov::supervisor
