// SELinux policy module and labels. The policy tools run in a work directory of their own,
// entered by a scoped owner of the current directory so that the caller's is restored on
// every path out. Policy tools are optional on a system: a missing one is a false answer
// and a trace, never an error that would stop the installation.
#include "supervisor/common/system/selinux.h"

#include "localization_tools/message_catalogue.h"
#include "localization_tools/message_format.h"
#include "sov_common/unique_fd.h"
#include "supervisor/common/console.h"
#include "supervisor/common/error_guard.h"
#include "supervisor/common/process/cmd.h"

#include <boost/algorithm/string/join.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/regex.hpp>
#include <boost/throw_exception.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

constexpr std::uint32_t kCompileModuleMessage = 1351;
constexpr std::uint32_t kInstallModuleMessage = 1352;
constexpr std::uint32_t kEnableModuleMessage = 1353;
constexpr std::uint32_t kToolsMissingMessage = 1354;
constexpr const char* kSystemBinaryType = "bin_t";

// Makes `directory` the current directory and returns to the previous one when it goes.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const Path& directory)
      : previous_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (!previous_) {
      BOOST_THROW_EXCEPTION(
          std::system_error(errno, std::generic_category(), "Cannot open the current directory"));
    }
    if (chdir(directory.c_str()) != 0) {
      BOOST_THROW_EXCEPTION(std::system_error(errno, std::generic_category(),
                                              "Cannot change to " + directory.string()));
    }
  }
  ~ScopedCurrentDirectory() {
    // Nothing better to do if it fails: the directory was open a moment ago.
    static_cast<void>(fchdir(previous_.Get()));
  }
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  sov::tools::UniqueFd previous_;
};

}  // namespace

std::optional<std::string> FindSecurityType(std::string_view text) {
  static const boost::regex context("\\w+:\\w+:(\\w+)");
  boost::match_results<std::string_view::const_iterator> match;
  if (!boost::regex_search(text.begin(), text.end(), match, context)) {
    return std::nullopt;
  }
  return match.str(1);
}

SeLinux::SeLinux(ivo::TracerPtr tracer, ProductPaths product, std::ostream& console)
    : Utils(std::move(tracer)), product_(std::move(product)), console_(console) {}

bool SeLinux::IsSeLinuxPresent() const {
  bool present = false;
  if (const auto matchpathcon = FindTool("matchpathcon")) {
    std::ostringstream output;
    const auto result = CmdObject(Tracer().get())
                            .SetArgs(matchpathcon->c_str(), "-n", "/")
                            .SetOutput(kTraceDebug, output)();
    present = result.code == 0 && FindSecurityType(output.str()).has_value();
  }
  TraceResult("IsSeLinuxPresent", present);
  return present;
}

bool SeLinux::CanInstallSeLinuxPolicy() const {
  bool can = true;
  for (const char* tool : {"checkmodule", "semodule_package", "semodule"}) {
    if (!FindTool(tool)) {
      can = false;
      break;
    }
  }
  TraceResult("CanInstallSeLinuxPolicy", can);
  return can;
}

bool SeLinux::BuildAndInstallSeLinuxModule(const PatchPaths& patch) const {
  if (!CanInstallSeLinuxPolicy()) {
    return false;
  }
  const Path workDir = product_.TempDir() / "selinux";
  bool installed = false;
  RunGuarded(*this, "BuildAndInstallSeLinuxModule", [&] {
    PrepareWorkDir(patch, workDir);
    const ScopedCurrentDirectory inWorkDir(workDir);
    installed = RunModuleTools(workDir);
  });
  return installed;
}

void SeLinux::PrepareWorkDir(const PatchPaths& patch, const Path& workDir) const {
  RemoveAll(workDir);
  fs::create_directories(workDir);
  const Path source = patch.SelinuxPolicySource();
  CopyFile(source, workDir / source.filename(), true);
}

bool SeLinux::RunModuleTools(const Path& workDir) const {
  const std::string& name = product_.ProductName();
  const std::string source = name + ".te";
  const std::string module = name + ".mod";
  const std::string package = name + ".pp";
  Trace(kTraceDebug, "BuildAndInstallSeLinuxModule", "Building in ", workDir);
  PrintModuleMessage(kCompileModuleMessage);
  if (!RunTool(ResolvePath("checkmodule"), {"-M", "-m", source, "-o", module})) {
    return false;
  }
  PrintModuleMessage(kInstallModuleMessage);
  if (!RunTool(ResolvePath("semodule_package"), {"--module", module, "--outfile", package})) {
    return false;
  }
  PrintModuleMessage(kEnableModuleMessage);
  const Path semodule = ResolvePath("semodule");
  return RunTool(semodule, {"--install", package, "--priority", "100"}) &&
         RunTool(semodule, {"--enable", name});
}

bool SeLinux::MarkFileWithSeLinuxType(const Path& path, const std::string& seType) const {
  const std::string what = Concat("path=", path, ", seType=", seType);
  if (IsTraceEnabled(kTraceDebug)) {
    Tracer()->Trace(kTraceDebug, Concat("MarkFileWithSeLinuxType() ", what));
  }
  const auto semanage = FindTool("semanage");
  const auto restorecon = FindTool("restorecon");
  // "--add" fails when the file already has a context of its own; "--modify" replaces it.
  const bool marked =
      semanage && restorecon &&
      (RunTool(*semanage, {"fcontext", "--add", "--type", seType, path.string()}) ||
       RunTool(*semanage, {"fcontext", "--modify", "--type", seType, path.string()})) &&
      RunTool(*restorecon, {"-v", path.string()});
  if (!marked) {
    Trace(kTraceError, "MarkFileWithSeLinuxType", "Cannot mark ", path, " with security type ",
          seType);
    return false;
  }
  TraceResult("MarkFileWithSeLinuxType", what);
  return true;
}

std::string SeLinux::GetSeLinuxDefaultExecutableType() const {
  std::string type = kSystemBinaryType;
  const auto ls = FindTool("ls");
  const auto shell = FindTool("sh");
  if (ls && shell) {
    std::ostringstream output;
    CmdObject(Tracer().get())
        .SetArgs(ls->c_str(), "-a", "--context", shell->c_str())
        .SetOutput(kTraceDebug, output)();
    if (auto found = FindSecurityType(output.str())) {
      type = std::move(*found);
    }
  }
  TraceResult("GetSeLinuxDefaultExecutableType", type);
  return type;
}

void SeLinux::ConfigureSeLinux(const PatchPaths& patch) const {
  if (IsTraceEnabled(kTraceDebug)) {
    Tracer()->Trace(kTraceDebug, "ConfigureSeLinux() ");
  }
  const bool canLabel = WarnAboutMissingTools();

  std::string mainType;
  std::string otherType;
  if (BuildAndInstallSeLinuxModule(patch)) {
    Trace(kTraceDebug, "ConfigureSeLinux", "SELinux policy installed");
    mainType = Type("_exec_t");
    otherType = Type("_control_exec_t");
  } else {
    Trace(kTraceDebug, "ConfigureSeLinux", "SELinux policy not installed");
    mainType = otherType = GetSeLinuxDefaultExecutableType();
  }
  std::vector<std::pair<Path, std::string>> labels = {{patch.MainExecutable(), mainType},
                                                      {patch.Control(), otherType},
                                                      {patch.Response(), otherType},
                                                      {patch.InitScriptSource(), otherType}};
  if (fs::exists(patch.Gui())) {
    labels.emplace_back(patch.Gui(), otherType);
  }
  if (!canLabel) {
    Trace(kTraceDebug, "ConfigureSeLinux", "Labelling tools missing: nothing labelled");
    return;
  }
  for (const auto& [path, type] : labels) {
    MarkFileWithSeLinuxType(path, type);
  }
}

bool SeLinux::WarnAboutMissingTools() const {
  std::vector<std::string> missing;
  for (const char* tool :
       {"checkmodule", "semodule_package", "semodule", "semanage", "restorecon"}) {
    if (!FindTool(tool)) {
      missing.emplace_back(tool);
    }
  }
  if (!missing.empty()) {
    const std::string message = localization::FormatMessage(
        localization::LookupMessage(kToolsMissingMessage), {boost::algorithm::join(missing, ", ")});
    PrintLine(Tracer().get(), console_, kTraceWarning,
              "\n<YELLOW>Warning: " + message + "</YELLOW>\n");
  }
  const auto isMissing = [&missing](const char* tool) {
    return std::find(missing.begin(), missing.end(), tool) != missing.end();
  };
  return !isMissing("semanage") && !isMissing("restorecon");
}

void SeLinux::ConfigureSELinux(InstallMode mode, const PatchPaths& newPatch) const {
  if (!IsSeLinuxPresent()) {
    Trace(kTraceDebug, "ConfigureSELinux", "SELinux not present");
    return;
  }
  Trace(kTraceDebug, "ConfigureSELinux", "Configuring SELinux ...");
  MarkFileWithSeLinuxType(newPatch.Setup(), kSystemBinaryType);
  if (mode != InstallMode::Install) {
    Trace(kTraceDebug, "ConfigureSELinux", "Reconfiguring SELinux policy ...");
    ConfigureSeLinux(newPatch);
  }
}

std::string SeLinux::Type(const char* suffix) const {
  return product_.ProductName() + suffix;
}

std::optional<Path> SeLinux::FindTool(const char* name) const {
  if (!IsResolvable(name)) {
    Trace(kTraceDebug, "FindTool", name, " not found");
    return std::nullopt;
  }
  return ResolvePath(name);
}

bool SeLinux::RunTool(const Path& tool, CmdObject::Arguments arguments) const {
  arguments.insert(arguments.begin(), tool.string());
  return CmdObject(Tracer().get()).SetArgs(std::move(arguments))().code == 0;
}

void SeLinux::PrintModuleMessage(std::uint32_t number) const {
  PrintLine(
      Tracer().get(), console_, kTraceImportant,
      localization::FormatMessage(localization::LookupMessage(number), {product_.ProductName()}));
}

}  // namespace sov::supervisor
