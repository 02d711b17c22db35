// Which init system is in charge. The answer depends only on the process with id 1.
#pragma once

#include <string_view>

namespace sov::supervisor {

// True when the target of the link "/proc/1/exe" contains "systemd"; false when it does
// not or cannot be read. Computed on the first call and kept for the process.
bool IsSystemd();

// The rule behind IsSystemd, for the target text of an init process's executable link.
bool IsSystemdExecutable(std::string_view initExecutable);

}  // namespace sov::supervisor
