// Descriptions of the framework's result codes, as printed in diagnostic texts.
#include "ivo/result.h"

namespace ivo {

const char* DescribeResult(ResultCode code) {
  switch (code) {
    case result::kOk:
      return "Success";
    case result::kFail:
      return "Unspecified failure";
    case result::kInvalidArgument:
      return "Invalid argument";
    case result::kNotFound:
      return "Object not found";
    case result::kTimeout:
      return "Operation timed out";
    case result::kSystemError:
      return "System call failed";
    case result::kBadFormat:
      return "Bad data format";
    default:
      return "Unknown result code";
  }
}

}  // namespace ivo
