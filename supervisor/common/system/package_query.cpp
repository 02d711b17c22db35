// Package database queries through the distribution's own tool, run like every other
// tool (fixed directories, explicit arguments). dpkg-query prints the status words of a
// package; rpm answers with its exit status.
#include "supervisor/common/system/package_query.h"

#include "sov_common/platform.h"
#include "supervisor/common/paths/system_paths.h"
#include "supervisor/common/process/cmd.h"
#include "supervisor/common/process/system_executable.h"

#include <boost/filesystem/operations.hpp>

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

PackageQuery::PackageQuery(ivo::TracerPtr tracer, PackageDatabase database, Path tool)
    : Traceable(std::move(tracer)), database_(database), tool_(std::move(tool)) {}

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
  command.SetError(command.MakeSink(kTraceDebug));
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
  if (bitness != 32 && !boost::filesystem::is_directory(agentDir)) {
    query.Trace(kTraceDebug, "IsAgentInstalled", "Qvnagent is not installed");
    return false;
  }
  return query.IsInstalled("qvnagent") || query.IsInstalled("qvnagent64");
}

}  // namespace sov::supervisor
