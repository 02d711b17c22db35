// The SysV form of a service: "service <name> <verb>". There is no asynchronous restart;
// RestartAsync is the ordinary restart, and TryRestart is a restart whose failure is only
// traced.
#pragma once

#include "supervisor/common/system/service.h"

namespace sov::supervisor {

class InitService : public BaseService {
 public:
  InitService(ivo::TracerPtr tracer,
              std::string name,
              std::unique_ptr<IServiceEnabler> enabler,
              Path service);

  void Start() override;
  void Stop() override;
  std::vector<std::string> RestartCommand() const override;
  void TryRestart() override;
  void Restart() override;
  void RestartAsync() override;
  bool IsActive() override;

 private:
  std::vector<std::string> Verb(const char* verb) const;

  Path service_;
};

}  // namespace sov::supervisor
