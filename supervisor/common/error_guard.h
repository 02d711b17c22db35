// The error guard of steps that must not stop a sequence (post-upgrade clean-up, an agent's
// try-restart, dump clean-up, connector reload, permission changes): the step's exception
// is traced at error level as "<operation>: <text>" and the sequence goes on.
#pragma once

#include "supervisor/common/traceable.h"

#include <exception>
#include <string_view>
#include <utility>

namespace sov::supervisor {

// Runs `step`; true when it returned, false when it threw (the exception is traced and
// dropped).
template <typename Step>
bool RunGuarded(const Traceable& tracing, std::string_view operation, Step&& step) {
  try {
    std::forward<Step>(step)();
    return true;
  } catch (const std::exception& error) {
    tracing.Trace(kTraceError, operation, error.what());
  } catch (...) {
    tracing.Trace(kTraceError, operation, "Unknown exception");
  }
  return false;
}

}  // namespace sov::supervisor
