// Diagnostic text of an exception, as the trace and the console show it.
#include "supervisor/common/exceptions.h"

#include <boost/exception/diagnostic_information.hpp>

namespace sov::supervisor {

std::string DiagnosticText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (...) {
    std::string text = boost::current_exception_diagnostic_information();
    while (!text.empty() && text.back() == '\n') {
      text.pop_back();
    }
    return text;
  }
}

}  // namespace sov::supervisor
