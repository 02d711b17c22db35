// Building and finding the product's kernel modules. The build script is the patch's own;
// its whole output goes to the prepare_module log, which each build starts afresh.
#include "supervisor/common/system/kernel_modules.h"

#include "sov_common/file_reader.h"
#include "sov_common/platform.h"
#include "supervisor/common/process/cmd.h"

#include <boost/filesystem/operations.hpp>
#include <boost/throw_exception.hpp>

#include <fstream>
#include <stdexcept>
#include <system_error>

namespace sov::supervisor {
namespace {

constexpr const char* kModuleName = "redirfs";

}  // namespace

Path KernelModulePath(const PatchPaths& patch) {
  return patch.Lib64Dir() / "modules" / GetOsRelease() / (std::string(kModuleName) + ".ko");
}

bool AreKernelModulesPresent(const PatchPaths& patch) {
  boost::system::error_code error;
  return boost::filesystem::is_regular_file(KernelModulePath(patch), error);
}

bool IsModuleListed(std::string_view procModules, std::string_view module) {
  while (!procModules.empty()) {
    const auto end = procModules.find('\n');
    const auto line = procModules.substr(0, end);
    if (line.substr(0, line.find(' ')) == module) {
      return true;
    }
    if (end == std::string_view::npos) {
      break;
    }
    procModules.remove_prefix(end + 1);
  }
  return false;
}

bool IsProductModuleLoaded() {
  const auto modules = tools::ReadWholeFile("/proc/modules");
  return modules && IsModuleListed(modules.text, kModuleName);
}

KernelModules::KernelModules(ivo::TracerPtr tracer, DistribType family, FailureReport onFailure)
    : Utils(std::move(tracer)), family_(family), onFailure_(std::move(onFailure)) {}

void KernelModules::BuildIfRequired(bool fanotifyOn,
                                    const PatchPaths& patch,
                                    const Path& log) const {
  constexpr const char* kStep = "BuildKernelModulesIfRequired";
  if (fanotifyOn) {
    Trace(kTraceDebug, kStep, "Skip kernel modules build");
  } else if (AreKernelModulesPresent(patch)) {
    Trace(kTraceDebug, kStep, "Kernel modules already exists");
  } else {
    Build(patch, log);
  }
}

void KernelModules::Build(const PatchPaths& patch, const Path& log) const {
  if (family_ == DistribType::Astra) {
    BOOST_THROW_EXCEPTION(std::logic_error("Can't build kernel modules for this configuration"));
  }
  try {
    RunScript(patch, log);
    if (!AreKernelModulesPresent(patch)) {
      BOOST_THROW_EXCEPTION(std::runtime_error("Kernel modules not found"));
    }
  } catch (const std::exception& error) {
    if (onFailure_) {
      onFailure_(error.what());
    }
    throw;
  }
  Trace(kTraceDebug, "BuildKernelModules", "Kernel modules have built");
}

void KernelModules::RunScript(const PatchPaths& patch, const Path& log) const {
  std::ofstream out(log.string(), std::ios::out | std::ios::trunc);
  if (!out) {
    BOOST_THROW_EXCEPTION(
        std::system_error(errno, std::generic_category(), "Can't open " + log.string()));
  }
  const auto sink = CmdObject::MakeSink(out);
  CmdObject(Tracer().get())
      .SetArgs(patch.PrepareModuleScript().c_str())
      .SetOutput(sink)
      .SetError(sink)()
      .Check();
}

bool KernelModules::IsLoaded() const {
  const bool loaded = IsProductModuleLoaded();
  Trace(kTraceDebug, "IsKernelModuleLoaded",
        loaded ? "kernel module is loaded" : "kernel module is not loaded");
  return loaded;
}

}  // namespace sov::supervisor
