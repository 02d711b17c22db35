// What every program the launcher starts gets from it: only the standard streams and
// default signal handling, whatever the launcher itself inherited from its caller (a
// package script's pipe, an ignored SIGHUP, a blocked signal). Called in the child between
// fork and exec: everything here is async-signal-safe (system calls only, no allocation).
#pragma once

namespace sov::supervisor {

// Default disposition for every signal, then an empty signal mask.
void ResetSignalHandling();

// Marks every descriptor above standard error close-on-exec, so that the program starts
// with only its standard streams. Marking rather than closing keeps a close-on-exec status
// pipe usable up to the exec, to report an exec that failed.
void KeepOnlyStandardStreams();

// Both of the above; the last step before execve.
void PrepareChildForExec();

// The ways KeepOnlyStandardStreams tries, in this order. Public for the tests: a recent
// kernel never needs the later ones.
namespace close_on_exec {

// One close_range call (Linux 5.11 and later); false when the kernel lacks it.
bool ByCloseRange();
// Each descriptor listed in /proc/self/fd; false when the list cannot be read whole.
bool ByProcList();
// Every descriptor number below the soft open-file limit, which may be large: last resort.
void UpToLimit();

}  // namespace close_on_exec
}  // namespace sov::supervisor
