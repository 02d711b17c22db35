// Writes and reads the failed step of a first start; unknown names (a newer launcher's)
// are shown as they are.
#include "supervisor/launcher/start_failure.h"

#include "supervisor/common/error_guard.h"
#include "supervisor/common/upgrade/upgrade_info.h"

#include <boost/filesystem/operations.hpp>

namespace sov::supervisor {
namespace {

constexpr const char* kKey = "FailedStartStep";

struct Cause {
  const char* step;
  const char* words;
};

constexpr Cause kCauses[] = {
    {start_step::kStopPreviousServer, "at the stop of the previous version's watchdog server"},
    {start_step::kCopyUpdates, "at the copy of the previous version's updates"},
    {start_step::kExportPreviousSettings, "at the export of the previous version's settings"},
    {start_step::kAddExportedSettings, "at the record of the exported settings"},
    {start_step::kInstallPatch, "at the install of its files"},
    {start_step::kStartProduct, ""},
    {start_step::kExecLauncher, "at the start of its launcher"},
};

}  // namespace

void RecordFailedStartStep(const Traceable& tracing, const PatchPaths& patch, const char* step) {
  RunGuarded(tracing, "RecordFailedStartStep", [&] {
    UpgradeInfo info(tracing.Tracer(), patch.UpgradeJson());
    info.Put(kKey, step);
    info.Save();
  });
}

std::string FailedStartCause(const Traceable& tracing, const PatchPaths& patch) {
  std::string step;
  RunGuarded(tracing, "FailedStartCause", [&] {
    if (boost::filesystem::exists(patch.UpgradeJson())) {
      step = UpgradeInfo(tracing.Tracer(), patch.UpgradeJson()).Tree().get<std::string>(kKey, "");
    }
  });
  if (step.empty()) {
    return "";
  }
  for (const Cause& cause : kCauses) {
    if (step == cause.step) {
      return cause.words;
    }
  }
  return "at its step " + step;
}

}  // namespace sov::supervisor
