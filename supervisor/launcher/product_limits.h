// The resource limits the product starts with: the memory limit handed to the watchdog
// server and the open-file limit that the server and the product inherit. Problems are
// traced, never thrown: a start does not fail over a limit.
#pragma once

#include "supervisor/common/traceable.h"

#include <boost/property_tree/ptree_fwd.hpp>

#include <sys/resource.h>

#include <cstdint>
#include <optional>
#include <string>

namespace sov::supervisor {

constexpr std::uint64_t kLargeMachineRam = 34359738368ULL;  // 32 GiB

// "highest/2048MB/50%" below 32 GiB of RAM, "16384MB" from 32 GiB up.
std::string MemoryLimitForRam(std::uint64_t ramBytes);

// "Watchdog.MaxMemory" of `ini` unless it is "auto" (the default); for "auto" the rule
// above on the machine's RAM (sysinfo), or the smaller machine's value when sysinfo fails.
std::string EvaluateMemoryLimit(const Traceable& tracing, const boost::property_tree::ptree& ini);

// The open-file limit to set: the larger of the soft and hard limit (0 when they are
// unknown) and the kernel's ceiling when it is known.
rlim_t NoFileTarget(std::optional<rlimit> current, std::optional<std::uint64_t> ceiling);

// Raises RLIMIT_NOFILE (soft and hard) to NoFileTarget when that differs from the soft
// limit. Never throws.
void AdjustNoFileLimit(const Traceable& tracing);

}  // namespace sov::supervisor
