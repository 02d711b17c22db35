// The watchdog server's pid file as every "does the product run?" question reads it: under
// the server's own exclusive flock, so that a half-written pid is never seen. The file is
// world-readable, so anyone can open it and hold that lock: the wait for it is bounded.
#pragma once

#include "supervisor/common/traceable.h"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string_view>

namespace sov::supervisor {

// How long a reader waits for another holder of the pid file's lock.
constexpr std::chrono::milliseconds kPidFileLockWait{3000};

// The pid that the file at `path` holds: an optional sign, then decimal digits up to the
// first other character (a newline in practice), as a signed 32-bit number. The file is
// never changed, and the lock and descriptor are released on every way out.
//
// "Not running" answers are nullopt, each traced as "<operation>: Product not running (...)":
// no file (level 800), an empty file (800), no number or one that overflows (300).
//
// Throws std::system_error "Cannot open <path>" for any other open failure (EISDIR for a
// directory, EINVAL for a FIFO or another file that is not regular: it is never read),
// "Lock of pid-file <path> failed" (EWOULDBLOCK when another holder kept the lock for
// `lockWait`), "fstat syscall failed", "Can't lseek pid-file <path>" and "Can't read
// pid-file <path>"; std::logic_error "Pid-file <path> has unexpected size <bytes>" for a
// file of more than 9 bytes.
std::optional<pid_t> ReadPidFile(const Traceable& tracing,
                                 std::string_view operation,
                                 const Path& path,
                                 std::chrono::milliseconds lockWait = kPidFileLockWait);

}  // namespace sov::supervisor
