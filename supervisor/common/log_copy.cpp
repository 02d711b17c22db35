// Numbered hard links and the final copy of the trace file. The hard link shares the
// inode, so it keeps growing with the trace of later runs; the "_0" copy is the trace as
// it stood when the last install or uninstall ended. The copy is written beside its name
// and renamed over it, so a link planted at that name is replaced, never written through.
#include "supervisor/common/log_copy.h"

#include "sov_common/file_copy.h"
#include "sov_common/unique_fd.h"

#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>
#include <boost/regex.hpp>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace sov::supervisor {
namespace fs = boost::filesystem;
namespace {

// An entry beside `traceFile` whose stem is "<stem>_<digits>" and which is the same file.
std::optional<Path> FindNumberedLink(const Path& traceFile) {
  const boost::regex numbered((boost::format("%1%_\\d+") % traceFile.stem().string()).str());
  boost::system::error_code error;
  for (fs::directory_iterator entry(traceFile.parent_path(), error), end; !error && entry != end;
       entry.increment(error)) {
    const Path& candidate = entry->path();
    if (boost::regex_match(candidate.stem().string(), numbered) &&
        fs::equivalent(candidate, traceFile, error)) {
      return candidate;
    }
  }
  return std::nullopt;
}

[[noreturn]] void ThrowCopyError(const Path& from, const Path& to, int error) {
  throw fs::filesystem_error("Can't copy file", from, to,
                             boost::system::error_code(error, boost::system::generic_category()));
}

// Copies `from` without following a link at its name and without waiting on a FIFO there.
// CopyFile opens its source by name, so it is handed the /proc name of the descriptor
// checked here: that reopens this very file, whatever the name `from` meanwhile points to.
void CopyTraceFile(const Path& from, const Path& to) {
  const sov::tools::UniqueFd source(
      open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat status {};
  if (!source || fstat(source.Get(), &status) != 0) {
    ThrowCopyError(from, to, errno);
  }
  if (!S_ISREG(status.st_mode)) {
    ThrowCopyError(from, to, EINVAL);
  }
  sov::tools::CopyFile("/proc/self/fd/" + std::to_string(source.Get()), to,
                       sov::tools::CopyMode::kOverwrite);
}

}  // namespace

void LogCopy::Init(ivo::TracerPtr tracer, Path traceFile) {
  SetTracer(std::move(tracer));
  traceFile_ = std::move(traceFile);
}

void LogCopy::Enable() {
  if (traceFile_.empty()) {
    return;
  }
  enabled_ = true;
  if (const auto existing = FindNumberedLink(traceFile_)) {
    Trace(kTraceDebug, "Enable", "Log hardlink ", *existing, " has been found");
    linked_ = true;
    return;
  }
  const Path link =
      traceFile_.parent_path() / (boost::format("%1%_%2%%3%") % traceFile_.stem().string() %
                                  std::time(nullptr) % traceFile_.extension().string())
                                     .str();
  boost::system::error_code error;
  fs::create_hard_link(traceFile_, link, error);
  if (error) {
    Trace(kTraceError, "Enable", "Cannot create hardlink ", traceFile_, " -> ", link,
          ". Reason: ", error.message(), ". Ignore it");
    return;
  }
  Trace(kTraceDebug, "Enable", "Hardlink created ", traceFile_, " -> ", link);
}

LogCopy::~LogCopy() {
  if (!enabled_ || linked_) {
    return;
  }
  const Path copy = traceFile_.parent_path() /
                    (traceFile_.stem().string() + "_0" + traceFile_.extension().string());
  std::optional<std::string> reason;
  try {
    CopyTraceFile(traceFile_, copy);
  } catch (const boost::system::system_error& error) {
    reason = error.code().message();
  } catch (const std::exception& error) {
    reason = error.what();
  }
  if (reason) {
    Trace(kTraceError, "~LogCopy", "Cannot copy ", traceFile_, " -> ", copy, ". Reason: ", *reason,
          ". Ignore it");
    return;
  }
  Trace(kTraceDebug, "~LogCopy", "File copied ", traceFile_, " -> ", copy);
}

}  // namespace sov::supervisor
