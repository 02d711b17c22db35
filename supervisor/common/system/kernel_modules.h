// The product's own kernel modules, needed when the product does not intercept files
// through fanotify. A patch's modules count as present when
// "<patch>/opt/brevantis/tarn/lib64/modules/<kernel release>/redirfs.ko" is a regular
// file; a module counts as loaded when "/proc/modules" lists "redirfs".
#pragma once

#include "sov_common/distrib_type.h"
#include "supervisor/common/files/utils.h"
#include "supervisor/common/paths/patch_paths.h"

#include <functional>
#include <string>
#include <string_view>

namespace sov::supervisor {

// The module file of `patch` for the running kernel.
Path KernelModulePath(const PatchPaths& patch);
bool AreKernelModulesPresent(const PatchPaths& patch);

// Whether the text of a /proc/modules file lists `module` (the first word of a line).
bool IsModuleListed(std::string_view procModules, std::string_view module);
// Whether "/proc/modules" lists "redirfs"; false when it cannot be read.
bool IsProductModuleLoaded();

class KernelModules : public Utils {
 public:
  // Called with the error text when a build fails after it began (the start command
  // reports it as a product event).
  using FailureReport = std::function<void(const std::string&)>;

  KernelModules(ivo::TracerPtr tracer, DistribType family, FailureReport onFailure);

  // Nothing when fanotify is on or the modules are present; otherwise Build.
  void BuildIfRequired(bool fanotifyOn, const PatchPaths& patch, const Path& log) const;
  // Runs the patch's prepare_module.sh without arguments, its output replacing `log`, and
  // requires the modules afterwards. Throws std::logic_error "Can't build kernel modules
  // for this configuration" on Astra, the runner's error when the script fails and
  // std::runtime_error "Kernel modules not found" when it made none.
  void Build(const PatchPaths& patch, const Path& log) const;
  // IsProductModuleLoaded, traced.
  bool IsLoaded() const;

 private:
  void RunScript(const PatchPaths& patch, const Path& log) const;

  DistribType family_;
  FailureReport onFailure_;
};

}  // namespace sov::supervisor
