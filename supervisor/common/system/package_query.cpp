// Package database queries through the distribution's own tool, run like every other
// tool (fixed directories, explicit arguments). dpkg-query prints the status words of a
// package; rpm answers with its exit status.
#include "supervisor/common/system/package_query.h"

#include "sov_common/platform.h"
#include "supervisor/common/paths/system_paths.h"
#include "supervisor/common/process/cmd.h"
#include "supervisor/common/process/system_executable.h"

#include <boost/filesystem/operations.hpp>

#include <fstream>
#include <sstream>

namespace sov::supervisor {
namespace {

bool IsDebFamily(DistribType family) {
  return family == DistribType::Ubuntu || family == DistribType::Debian ||
         family == DistribType::Astra;
}

}  // namespace

PackageQuery::PackageQuery(ivo::TracerPtr tracer, DistribType family)
    : Traceable(std::move(tracer)) {
  const auto dpkgQuery = FindSystemExecutable("dpkg-query");
  const auto rpm = FindSystemExecutable("rpm");
  if (family == DistribType::Unknown) {
    database_ = dpkgQuery ? PackageDatabase::Deb : PackageDatabase::Rpm;
  } else {
    database_ = IsDebFamily(family) ? PackageDatabase::Deb : PackageDatabase::Rpm;
  }
  const auto& tool = database_ == PackageDatabase::Deb ? dpkgQuery : rpm;
  if (tool) {
    tool_ = *tool;
  }
}

PackageQuery::PackageQuery(ivo::TracerPtr tracer, PackageDatabase database, Path tool, Path dpkgDir)
    : Traceable(std::move(tracer)),
      database_(database),
      tool_(std::move(tool)),
      dpkgDir_(std::move(dpkgDir)) {}

bool PackageQuery::MayBeInstalled(const std::string& package) const {
  if (database_ != PackageDatabase::Deb) {
    return true;
  }
  namespace fs = boost::filesystem;
  boost::system::error_code error;
  const Path info = dpkgDir_ / "info";
  // A dpkg that keeps its database otherwise tells nothing by these files: ask it.
  if (!fs::is_directory(info, error) || fs::exists(info / (package + ".list"), error)) {
    return true;
  }
  // The architectures that dpkg accepts, one a line; small, and read only here.
  std::ifstream architectures((dpkgDir_ / "arch").string());
  for (std::string arch; std::getline(architectures, arch);) {
    if (!arch.empty() && fs::exists(info / (package + ":" + arch + ".list"), error)) {
      return true;
    }
  }
  Trace(kTraceDebug, "IsPackageInstalled", package, " not installed (no ", info.string(), "/",
        package, ".list)");
  return false;
}

bool PackageQuery::IsInstalled(const std::string& package) const {
  if (tool_.empty()) {
    Trace(kTraceDebug, "IsPackageInstalled", "No package tool. ", package, " not installed");
    return false;
  }
  CmdObject command(Tracer().get());
  std::ostringstream status;
  if (database_ == PackageDatabase::Deb) {
    command.SetArgs({tool_.string(), "-W", "-f=${Status}", package})
        .SetOutput(CmdObject::MakeSink(status));
  } else {
    command.SetArgs({tool_.string(), "-q", package});
  }
  // Both tools answer 1 for a package that they do not know as installed.
  command.SetError(command.MakeSink(kTraceDebug)).ExpectExitCode(1);
  const bool installed = command().code == 0 && (database_ == PackageDatabase::Rpm ||
                                                 status.str() == "install ok installed");
  Trace(kTraceDebug, "IsPackageInstalled", package, installed ? " installed" : " not installed");
  return installed;
}

std::string AgentServiceName() {
  return GetBitness() == 32 ? "qvnagent" : "qvnagent64";
}

bool IsAgentInstalled(const PackageQuery& query, int bitness) {
  const Path agentDir = NagentModuleChecker().parent_path().parent_path();
  const bool agent32 = query.MayBeInstalled("qvnagent") && query.IsInstalled("qvnagent");
  if (bitness != 32 && !boost::filesystem::is_directory(agentDir)) {
    return agent32;
  }
  return agent32 || query.IsInstalled("qvnagent64");
}

}  // namespace sov::supervisor
