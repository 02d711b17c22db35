// Enabling and disabling a service at boot. systemd has its own verbs; SysV systems use
// chkconfig where it exists (Red Hat style) and update-rc.d otherwise (Debian style).
#pragma once

#include "supervisor/common/traceable.h"

#include <string>

namespace sov::supervisor {

class IServiceEnabler {
 public:
  virtual ~IServiceEnabler() = default;
  // Both throw the runner's "Cmd: ... failed with exit code N" when the tool fails.
  // Enable returns false, changing nothing, for a service that an administrator masked.
  virtual bool Enable(const std::string& name) = 0;
  virtual void Disable(const std::string& name) = 0;
  // Whether an administrator masked the service, so that nothing may enable or start it.
  // The SysV tools know no masks.
  virtual bool IsMasked(const std::string& /*name*/) const { return false; }
};

// Holds the tracer and the resolved path of its tool.
class ToolEnabler : public IServiceEnabler, protected Traceable {
 public:
  ToolEnabler(ivo::TracerPtr tracer, Path tool)
      : Traceable(std::move(tracer)), tool_(std::move(tool)) {}

 protected:
  const Path& Tool() const { return tool_; }

 private:
  Path tool_;
};

// "systemctl is-enabled" first: an enabled unit is not enabled again, a disabled one not
// disabled again, and a masked one ("masked", or "masked-runtime" for a mask below /run)
// never enabled: the mask is traced and stays.
class Systemctl : public ToolEnabler {
 public:
  using ToolEnabler::ToolEnabler;
  bool Enable(const std::string& name) override;
  void Disable(const std::string& name) override;
  bool IsMasked(const std::string& name) const override;

 private:
  enum class UnitFileState { kEnabled, kDisabled, kMasked };
  // The answer of "systemctl is-enabled": its exit code, and its first line for a mask.
  UnitFileState QueryState(const std::string& name) const;
};

class ChkConfig : public ToolEnabler {
 public:
  using ToolEnabler::ToolEnabler;
  bool Enable(const std::string& name) override;
  void Disable(const std::string& name) override;
};

class UpdateRcD : public ToolEnabler {
 public:
  using ToolEnabler::ToolEnabler;
  bool Enable(const std::string& name) override;
  void Disable(const std::string& name) override;
};

}  // namespace sov::supervisor
