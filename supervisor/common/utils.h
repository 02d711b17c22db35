// File and path utilities shared by the commands. Every operation traces what it did to
// the tracer that Utils holds.
#pragma once

#include "supervisor/common/traceable.h"

#include <string>

namespace sov::supervisor {

class Utils : public Traceable {
 public:
  using Traceable::Traceable;

  // The full path of a system executable: a name beginning with "/" is returned as it is;
  // otherwise the first of "/usr/sbin", "/usr/bin", "/bin", "/sbin" in which it is an
  // executable regular file. Traces "<name> not found" and throws std::runtime_error
  // "<name> not found" when there is none.
  Path ResolvePath(const std::string& name) const;

  // Whether ResolvePath(name) would succeed; never throws, traces nothing.
  static bool IsResolvable(const std::string& name);
};

}  // namespace sov::supervisor
