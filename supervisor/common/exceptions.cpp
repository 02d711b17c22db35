// Diagnostic text of an exception, as the trace and the console show it.
#include "supervisor/common/exceptions.h"

#include <boost/exception/diagnostic_information.hpp>

namespace sov::supervisor {

std::string DiagnosticText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (...) {
    return boost::current_exception_diagnostic_information();
  }
}

}  // namespace sov::supervisor
