// The text of a pid file: the process id that the watchdog server writes, in decimal.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace sov::supervisor {

// An optional sign, then decimal digits up to the first other character ("1234\n" gives
// 1234). nullopt when there is no digit or the value does not fit a signed 32-bit integer.
// Whether the number names a live process is the caller's to find out.
std::optional<pid_t> ParsePid(const std::string& text);

}  // namespace sov::supervisor
