// Utils: path resolution of system tools.
#include "supervisor/common/utils.h"

#include "supervisor/common/system_executable.h"

#include <boost/format.hpp>
#include <boost/throw_exception.hpp>

#include <stdexcept>

namespace sov::supervisor {

Path Utils::ResolvePath(const std::string& name) const {
  if (auto found = FindSystemExecutable(name)) {
    return *found;
  }
  if (IsTraceEnabled(kTraceError)) {
    Tracer()->Trace(kTraceError, Concat(name, " not found"));
  }
  BOOST_THROW_EXCEPTION(std::runtime_error((boost::format("%1% not found") % name).str()));
}

bool Utils::IsResolvable(const std::string& name) {
  return FindSystemExecutable(name).has_value();
}

}  // namespace sov::supervisor
