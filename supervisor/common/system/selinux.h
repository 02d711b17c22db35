// SELinux integration of an installation: detection, the build and install of the product's
// policy module (the patch's tarn.te) with the system's policy tools, and the labelling of
// the product's executables with the module's types. Failing tool runs are no exceptions
// here: they give false results and traces, and the installation goes on.
#pragma once

#include "supervisor/common/files/utils.h"
#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/upgrade/upgrade_state.h"

#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

namespace sov::supervisor {

// The type of the first security context ("user:role:type") in `text`, if any.
std::optional<std::string> FindSecurityType(std::string_view text);

class SeLinux : public Utils {
 public:
  // `product` gives the work directory (TempDir() / "selinux") and the names of the module
  // and its types; progress messages and warnings go to `console`.
  SeLinux(ivo::TracerPtr tracer, ProductPaths product, std::ostream& console = std::cout);

  // Whether "matchpathcon -n /" succeeds and prints a security context. A missing tool
  // means absent.
  bool IsSeLinuxPresent() const;

  // Whether "checkmodule", "semodule_package" and "semodule" all resolve.
  bool CanInstallSeLinuxPolicy() const;

  // Compiles the patch's module source in a fresh work directory, packages it, installs it
  // with priority 100 and enables it, printing messages 1351 to 1353 as it goes. False when
  // a tool is missing or fails, or the work directory cannot be prepared (traced). The
  // current directory is the caller's again afterwards, on every path.
  bool BuildAndInstallSeLinuxModule(const PatchPaths& patch) const;

  // Gives `path` the type `seType` ("semanage fcontext --add", or "--modify" when the
  // context exists already) and applies it ("restorecon -v"). False, with the trace
  // "Cannot mark <path> with security type <type>", when a tool is missing or fails.
  bool MarkFileWithSeLinuxType(const Path& path, const std::string& seType) const;

  // The type of the system shell's executable, or "bin_t" when it cannot be told.
  std::string GetSeLinuxDefaultExecutableType() const;

  // Installs the patch's module and labels its executables with the module's types, or,
  // when the module cannot be installed, with the shell's type. Warns on the console about
  // missing policy tools; without "semanage" or "restorecon" nothing is labelled.
  void ConfigureSeLinux(const PatchPaths& patch) const;

  // The install step: on an SELinux system labels the new patch's setup program "bin_t"
  // and, for upgrades, runs ConfigureSeLinux for the new patch.
  void ConfigureSELinux(InstallMode mode, const PatchPaths& newPatch) const;

 private:
  std::string Type(const char* suffix) const;
  std::optional<Path> FindTool(const char* name) const;
  bool RunTool(const Path& tool, CmdObject::Arguments arguments) const;
  void PrintModuleMessage(std::uint32_t number) const;
  // Prints the warning about missing policy tools; whether files can be labelled.
  bool WarnAboutMissingTools() const;
  void PrepareWorkDir(const PatchPaths& patch, const Path& workDir) const;
  bool RunModuleTools(const Path& workDir) const;

  ProductPaths product_;
  std::ostream& console_;
};

}  // namespace sov::supervisor
