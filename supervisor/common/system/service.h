// A system service as the commands see it: start, stop, restart and query it, and enable
// or disable it at boot. `Service` picks the systemd or the SysV form once, at
// construction, from the init process (not from which tools are installed).
#pragma once

#include "supervisor/common/system/service_enabler.h"
#include "supervisor/common/traceable.h"

#include <memory>
#include <string>
#include <vector>

namespace sov::supervisor {

// Operations that "must succeed" throw the runner's "Cmd: <line> failed with exit code N";
// TryRestart and IsActive never throw because of the tool's exit code.
class BaseService : protected Traceable {
 public:
  BaseService(ivo::TracerPtr tracer, std::string name, std::unique_ptr<IServiceEnabler> enabler);
  virtual ~BaseService() = default;

  // False, changing nothing, when an administrator masked the service.
  bool Enable() { return enabler_->Enable(name_); }
  void Disable() { enabler_->Disable(name_); }
  bool IsMasked() const { return enabler_->IsMasked(name_); }
  virtual void Start() = 0;
  virtual void Stop() = 0;
  // The command line of Restart(), for others to run later.
  virtual std::vector<std::string> RestartCommand() const = 0;
  virtual void TryRestart() = 0;
  virtual void Restart() = 0;
  // Hands the restart to the service manager without waiting where it can.
  virtual void RestartAsync() = 0;
  virtual bool IsActive() = 0;

  const std::string& Name() const { return name_; }

 protected:
  // Runs `arguments`; with `check` a failure throws, otherwise the exit code is returned.
  int Run(const std::vector<std::string>& arguments, bool check) const;

 private:
  std::string name_;
  std::unique_ptr<IServiceEnabler> enabler_;
};

class Service {
 public:
  // systemd form when IsSystemd(), else the SysV form; the enabler is Systemctl, else
  // ChkConfig when chkconfig resolves, else UpdateRcD. Throws "<tool> not found" when a
  // tool it needs does not resolve.
  Service(const ivo::TracerPtr& tracer, const std::string& name);
  // For tests and callers that know what they want.
  explicit Service(std::unique_ptr<BaseService> implementation);

  bool Enable() { return impl_->Enable(); }
  void Disable() { impl_->Disable(); }
  bool IsMasked() const { return impl_->IsMasked(); }
  void Start() { impl_->Start(); }
  void Stop() { impl_->Stop(); }
  std::vector<std::string> RestartCommand() const { return impl_->RestartCommand(); }
  void TryRestart() { impl_->TryRestart(); }
  void Restart() { impl_->Restart(); }
  void RestartAsync() { impl_->RestartAsync(); }
  bool IsActive() { return impl_->IsActive(); }
  const std::string& Name() const { return impl_->Name(); }

 private:
  std::unique_ptr<BaseService> impl_;
};

}  // namespace sov::supervisor
