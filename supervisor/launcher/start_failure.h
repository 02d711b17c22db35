// The step at which the first start of a new patch failed. The launcher that failed writes
// it into the failed patch's upgrade info ("FailedStartStep"), because the report of the
// rollback comes from another process: the previous patch's launcher, executed to roll
// back, or the install whose restart it was. The record goes with the failed patch.
#pragma once

#include "supervisor/common/paths/patch_paths.h"
#include "supervisor/common/traceable.h"

#include <string>

namespace sov::supervisor {

// Step names of the first start, as recorded.
namespace start_step {
inline constexpr const char* kStopPreviousServer = "StopPreviousServer";
inline constexpr const char* kCopyUpdates = "CopyUpdates";
inline constexpr const char* kExportPreviousSettings = "ExportPreviousSettings";
inline constexpr const char* kAddExportedSettings = "AddExportedSettings";
inline constexpr const char* kInstallPatch = "InstallPatch";
inline constexpr const char* kStartProduct = "StartProduct";
inline constexpr const char* kExecLauncher = "ExecLauncher";
}  // namespace start_step

// Records `step` in `patch`'s upgrade info. A failure is traced and dropped: the rollback
// must not wait on its report.
void RecordFailedStartStep(const Traceable& tracing, const PatchPaths& patch, const char* step);

// What the rollback's report says failed, as the words after "failed": "" for the server's
// start and when nothing is recorded (the report then says "failed to start"), else a
// clause such as "at the start of its launcher".
std::string FailedStartCause(const Traceable& tracing, const PatchPaths& patch);

}  // namespace sov::supervisor
