// Application: the command run, exception tracing and the product's running state.
// The running state comes from the pid file that the watchdog server writes; the file is
// read under the server's own flock so that a half-written pid is never seen.
#include "supervisor/common/application.h"

#include "sov_common/file_lock.h"
#include "sov_common/platform.h"
#include "sov_common/unique_fd.h"
#include "supervisor/common/exceptions.h"
#include "supervisor/common/paths/product_paths.h"
#include "supervisor/common/paths/system_paths.h"
#include "supervisor/common/system/connector_reload.h"
#include "supervisor/common/system/package_query.h"

#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace sov::supervisor {
namespace {

constexpr const char* kRunning = "IsCurrentPatchRunning";
constexpr off_t kMaxPidFileSize = 9;

[[noreturn]] void ThrowSystemError(const std::string& message, int error = errno) {
  BOOST_THROW_EXCEPTION(std::system_error(error, std::generic_category(), message));
}

std::string Format(const char* format, const std::string& path) {
  return (boost::format(format) % path).str();
}

// An optional sign, then decimal digits up to the first other character; nullopt when
// there is no digit or the value does not fit a signed 32-bit integer.
std::optional<pid_t> ParsePid(const std::string& text) {
  size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  const size_t firstDigit = at;
  long long value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + (text[at] - '0');
    if (value > 2147483648LL) {
      return std::nullopt;
    }
  }
  if (at == firstDigit) {
    return std::nullopt;
  }
  value = negative ? -value : value;
  if (value > 2147483647LL) {
    return std::nullopt;
  }
  return static_cast<pid_t>(value);
}

bool SameFile(const std::string& left, const std::string& right) {
  struct stat leftStatus {};
  struct stat rightStatus {};
  return stat(left.c_str(), &leftStatus) == 0 && stat(right.c_str(), &rightStatus) == 0 &&
         leftStatus.st_dev == rightStatus.st_dev && leftStatus.st_ino == rightStatus.st_ino;
}

// The pid file's whole content, read under the exclusive lock; nullopt when the file
// does not exist. The lock and the descriptor are released on every way out.
std::optional<std::string> ReadLockedPidFile(const Traceable& tracing, const std::string& path) {
  const sov::tools::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno != ENOENT) {
      ThrowSystemError(Format("Cannot open %1%", path));
    }
    tracing.Trace(kTraceDebug, kRunning, "Product not running (Can't open ", path,
                  " file. Reason: ", std::strerror(ENOENT), ")");
    return std::nullopt;
  }
  const sov::tools::FileLock lock(fd.Get());
  if (!lock.Locked()) {
    ThrowSystemError(Format("Lock of pid-file %1% failed", path), lock.Error());
  }
  struct stat status {};
  if (fstat(fd.Get(), &status) != 0) {
    ThrowSystemError("fstat syscall failed");
  }
  if (status.st_size > kMaxPidFileSize) {
    BOOST_THROW_EXCEPTION(std::logic_error(
        (boost::format("Pid-file %1% has unexpected size %2%") % path % status.st_size).str()));
  }
  if (lseek(fd.Get(), 0, SEEK_SET) != 0) {
    ThrowSystemError(Format("Can't lseek pid-file %1%", path));
  }
  std::string content(static_cast<size_t>(status.st_size), '\0');
  const ssize_t got = read(fd.Get(), content.data(), content.size());
  if (got != static_cast<ssize_t>(content.size()) && got < 0) {
    ThrowSystemError(Format("Can't read pid-file %1%", path));
  }
  // A short read keeps the bytes read; the zero bytes after them end the number.
  return content;
}

}  // namespace

int Application::Run(const Arguments& args) {
  try {
    const CommandCall command = CreateCommand(args);
    if (!command) {
      throw std::bad_function_call();
    }
    return command();
  } catch (...) {
    return OnException(std::current_exception());
  }
}

int Application::OnException(const std::exception_ptr& error) {
  if (IsTraceEnabled(kTraceError)) {
    std::string text = DiagnosticText(error);
    // One trace record: the line end is the formatter's.
    while (!text.empty() && text.back() == '\n') {
      text.pop_back();
    }
    Trace(kTraceError, "OnException", text);
  }
  return 1;
}

bool Application::IsCurrentPatchRunning(pid_t* pid) const {
  const ProductPaths paths(Tracer());
  const std::string pidFile = WdServerPid().string();
  const auto content = ReadLockedPidFile(*this, pidFile);
  if (!content) {
    return false;
  }
  if (content->empty()) {
    Trace(kTraceDebug, kRunning, "Product not running (Pid-file ", pidFile, " is empty)");
    return false;
  }
  const auto parsed = ParsePid(*content);
  if (!parsed) {
    Trace(kTraceError, kRunning, "Product not running (Pid-file ", pidFile, " has wrong content '",
          *content, "')");
    return false;
  }
  if (pid != nullptr) {
    *pid = *parsed;
  }
  boost::system::error_code error;
  const auto executable = boost::filesystem::read_symlink(ProcessExePath(*parsed), error);
  if (error) {
    Trace(kTraceError, kRunning, "Product not running (Access to process with pid ", *parsed,
          " failed. Reason: ", error.message(), ")");
    return false;
  }
  const std::string expected = paths.Current().WdServer().string();
  if (!SameFile(executable.string(), expected)) {
    Trace(kTraceDebug, kRunning, "Product not running (", expected, " != ", executable,
          ", PID: ", *parsed, ")");
    return false;
  }
  Trace(kTraceDebug, kRunning, "Product running (PID:", *parsed, ")");
  return true;
}

bool Application::IsAgentInstalled() const {
  // The agent lives below /opt/brevantis/qvnagent64 whichever package brought it; without
  // that directory there is no agent, and the package database (a slow query on every
  // start) is not asked.
  static const bool installed = [this] {
    if (!boost::filesystem::is_directory(NagentModuleChecker().parent_path().parent_path())) {
      Trace(kTraceDebug, "IsAgentInstalled", "Qvnagent is not installed");
      return false;
    }
    const PackageQuery query(Tracer(), GetDistribType());
    return query.IsInstalled("qvnagent") || query.IsInstalled("qvnagent64");
  }();
  return installed;
}

void Application::ReloadConnectors() const {
  ConnectorReload(Tracer(), NagentPid())
      .Reload(ProductPaths(Tracer()).Current().DisableReloadConnectorsFlag());
}

void Application::EnableReloadConnectors() const {
  ConnectorReload(Tracer(), NagentPid())
      .Enable(ProductPaths(Tracer()).Current().DisableReloadConnectorsFlag());
}

void Application::DisableReloadConnectors(const PatchPaths& patch) const {
  ConnectorReload(Tracer(), NagentPid()).Disable(patch.DisableReloadConnectorsFlag());
}

}  // namespace sov::supervisor
