// Connector reload of the management agent. The agent's pid file is read as a small
// regular file without blocking, like every file another program may have replaced.
#include "supervisor/common/system/connector_reload.h"

#include "sov_common/file_reader.h"
#include "sov_common/unique_fd.h"

#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace sov::supervisor {
namespace {

constexpr const char* kReload = "ReloadConnectors";
constexpr std::size_t kMaxPidFileSize = 64;

}  // namespace

ConnectorReload::ConnectorReload(ivo::TracerPtr tracer, Path agentPidFile)
    : Utils(std::move(tracer)), agentPidFile_(std::move(agentPidFile)) {}

void ConnectorReload::Reload(const Path& marker) const {
  TraceEntry(kTraceDebug, kReload);
  boost::system::error_code error;
  if (boost::filesystem::exists(marker, error)) {
    Trace(kTraceDebug, kReload, "Reload of connectors is disabled");
    return;
  }
  const auto content = tools::ReadWholeFile(agentPidFile_, {kMaxPidFileSize, true});
  if (content.error == ENOENT || content.error == EACCES) {
    Trace(kTraceDebug, kReload, "Qvnagent is not running");
    return;
  }
  std::istringstream in(content.text);
  pid_t pid = 0;
  if (!content || !(in >> pid) || pid <= 0) {
    Trace(kTraceError, kReload, "Cannot read value from pid-file ", agentPidFile_);
    return;
  }
  Trace(kTraceDebug, kReload, "qvnagent pid = ", pid);
  if (kill(pid, SIGHUP) != 0) {
    Trace(kTraceError, kReload, "Cannot send SIGHUP to process. Reason: ", std::strerror(errno));
    return;
  }
  TraceResult(kReload, "Reload connectors triggered");
}

void ConnectorReload::Enable(const Path& marker) const {
  TraceEntry(kTraceDebug, "EnableReloadConnectors");
  Remove(marker);
}

void ConnectorReload::Disable(const Path& marker) const {
  constexpr const char* kDisable = "DisableReloadConnectors";
  TraceEntry(kTraceDebug, kDisable);
  const tools::UniqueFd fd(open(marker.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0));
  if (!fd) {
    Trace(kTraceError, kDisable, "Cannot create ", marker, ". Reason: ", std::strerror(errno));
    return;
  }
  TraceResult(kDisable, "");
}

}  // namespace sov::supervisor
