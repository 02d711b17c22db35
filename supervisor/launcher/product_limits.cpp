// Memory and open-file limits of the product. The rules are plain functions so that the
// odd machines (no sysinfo, no nr_open, a hard limit above the soft one) can be tested.
#include "supervisor/launcher/product_limits.h"

#include "sov_common/nofile_limit.h"

#include <boost/property_tree/ptree.hpp>

#include <sys/sysinfo.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace sov::supervisor {
namespace {

constexpr const char* kSmallMachineLimit = "highest/2048MB/50%";

}  // namespace

std::string MemoryLimitForRam(std::uint64_t ramBytes) {
  return ramBytes < kLargeMachineRam ? kSmallMachineLimit : "16384MB";
}

std::string EvaluateMemoryLimit(const Traceable& tracing, const boost::property_tree::ptree& ini) {
  constexpr const char* kStep = "StartProduct";
  std::string limit = ini.get<std::string>("Watchdog.MaxMemory", "auto");
  if (limit == "auto") {
    tracing.Trace(kTraceDebug, kStep, "Automatic evaluation of memory constraint ...");
    struct sysinfo info {};
    if (sysinfo(&info) != 0) {
      tracing.Trace(kTraceError, kStep, "The machine has failed to receive bytes of RAM. Reason: ",
                    std::strerror(errno));
      limit = kSmallMachineLimit;
    } else {
      const std::uint64_t ram = static_cast<std::uint64_t>(info.totalram) * info.mem_unit;
      tracing.Trace(kTraceDebug, kStep, "The machine has ", ram, " bytes of RAM");
      limit = MemoryLimitForRam(ram);
    }
  }
  tracing.Trace(kTraceDebug, kStep, "Limit of RAM consumed by product: ", limit);
  return limit;
}

rlim_t NoFileTarget(std::optional<rlimit> current, std::optional<std::uint64_t> ceiling) {
  rlim_t target = current ? std::max(current->rlim_cur, current->rlim_max) : 0;
  if (ceiling) {
    target = std::max<rlim_t>(target, *ceiling);
  }
  return target;
}

void AdjustNoFileLimit(const Traceable& tracing) {
  constexpr const char* kStep = "AdjustNoFileLimit";
  tracing.Trace(kTraceDebug, kStep, "Adjusting RLIMIT_NOFILE ...");
  std::optional<rlimit> current;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    tracing.Trace(kTraceError, kStep,
                  "getrlimit(RLIMIT_NOFILE) failed. Reason: ", std::strerror(errno));
  } else {
    current = limit;
    tracing.Trace(kTraceDebug, kStep, "RLIMIT_NOFILE cur=", limit.rlim_cur,
                  ", max=", limit.rlim_max);
  }
  std::optional<std::uint64_t> ceiling;
  try {
    ceiling = tools::GetNoFileLimit();
  } catch (const std::exception& error) {
    tracing.Trace(kTraceError, kStep, "GetNoFileLimit failed. Exception: ", error.what());
  }
  const rlim_t target = NoFileTarget(current, ceiling);
  if (target == (current ? current->rlim_cur : 0)) {
    return;
  }
  const rlimit wanted{target, target};
  if (setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
    tracing.Trace(kTraceError, kStep, "setrlimit(RLIMIT_NOFILE, ", target,
                  ") failed. Reason: ", std::strerror(errno));
  } else {
    tracing.Trace(kTraceDebug, kStep, "setrlimit(RLIMIT_NOFILE, ", target, ") succeeded");
  }
}

}  // namespace sov::supervisor
