// The process locale and the language of the product's messages.
#pragma once

#include "ivo/result.h"
#include "supervisor/common/paths/patch_paths.h"
#include "supervisor/common/traceable.h"

#include <string>

namespace sov::supervisor {

// Sets LC_ALL of the process to `name` ("C" when empty) and, when that worked, the
// environment variable LC_ALL too; a failure of the latter restores the previous locale.
// Returns kOk, or a failure code (the locale is then as it was).
ivo::ResultCode SetProcessLocale(const std::string& name);

// Sets the locale named by LANG (or "en_US.UTF-8" when LANG is unset) and loads the
// matching message catalogue from `patch`'s localization directory. Never throws: a locale
// or catalogue that cannot be set is traced at error level and the run goes on in the
// previous locale with the English messages.
void SetLocalization(const Traceable& tracing, const PatchPaths& patch);

}  // namespace sov::supervisor
