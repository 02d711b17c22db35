// The systemd form of a service: every operation is a systemctl verb on the unit.
#pragma once

#include "supervisor/common/system/service.h"

namespace sov::supervisor {

class SystemdService : public BaseService {
 public:
  SystemdService(ivo::TracerPtr tracer,
                 std::string name,
                 std::unique_ptr<IServiceEnabler> enabler,
                 Path systemctl);

  void Start() override;
  void Stop() override;
  std::vector<std::string> RestartCommand() const override;
  void TryRestart() override;
  void Restart() override;
  // "systemctl --no-block restart": returns once the job is queued.
  void RestartAsync() override;
  bool IsActive() override;

 private:
  std::vector<std::string> Verb(const char* verb) const;

  Path systemctl_;
};

}  // namespace sov::supervisor
