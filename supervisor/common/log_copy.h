// Keeps the trace of install and uninstall runs under numbered names next to the trace
// file: a hard link "<stem>_<seconds><ext>" made when enabled, and a copy "<stem>_0<ext>"
// made at the end of the process. Failures are traced and never raised.
#pragma once

#include "supervisor/common/traceable.h"

namespace sov::supervisor {

class LogCopy : public Traceable {
 public:
  LogCopy() = default;
  ~LogCopy();
  LogCopy(const LogCopy&) = delete;
  LogCopy& operator=(const LogCopy&) = delete;

  // Called once tracing is up; without it Enable does nothing.
  void Init(ivo::TracerPtr tracer, Path traceFile);

  // Links the trace file under a numbered name unless such a link to it exists already.
  void Enable();

 private:
  Path traceFile_;
  bool enabled_ = false;
  bool linked_ = false;
};

}  // namespace sov::supervisor
