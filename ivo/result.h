// Framework result codes: negative values are failures. Calls that return a code are
// checked with IVO_CHECK, which turns a failure into a ResultError.
#pragma once

#include <boost/exception/info.hpp>
#include <boost/throw_exception.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace ivo {

using ResultCode = std::int32_t;

namespace result {
constexpr ResultCode kOk = 0;
constexpr ResultCode kFail = static_cast<ResultCode>(0x80000001u);
constexpr ResultCode kInvalidArgument = static_cast<ResultCode>(0x80000002u);
constexpr ResultCode kNotFound = static_cast<ResultCode>(0x80000003u);
constexpr ResultCode kTimeout = static_cast<ResultCode>(0x80000004u);
constexpr ResultCode kSystemError = static_cast<ResultCode>(0x80000005u);
constexpr ResultCode kBadFormat = static_cast<ResultCode>(0x80000006u);
}  // namespace result

inline bool Succeeded(ResultCode code) {
  return code >= 0;
}
inline bool Failed(ResultCode code) {
  return code < 0;
}

// The framework's description of a code, or "Unknown result code".
const char* DescribeResult(ResultCode code);

// A failed framework call; what() is the caller's message, the failing expression
// and the code travel as error info for the diagnostic report.
class ResultError : public std::runtime_error {
 public:
  ResultError(ResultCode code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  ResultCode Code() const { return code_; }

 private:
  ResultCode code_;
};

using FailedExpression = boost::error_info<struct FailedExpressionTag, std::string>;

}  // namespace ivo

// Evaluates `expression` once; a failure code throws ResultError(code, message) that also
// records "Expression failed: <expression>" and the throw location.
#define IVO_CHECK(expression, message)                                             \
  do {                                                                             \
    const ::ivo::ResultCode ivoCheckCode_ = (expression);                          \
    if (::ivo::Failed(ivoCheckCode_)) {                                            \
      BOOST_THROW_EXCEPTION(                                                       \
          ::boost::enable_error_info(::ivo::ResultError(ivoCheckCode_, (message))) \
          << ::ivo::FailedExpression("Expression failed: " #expression));          \
    }                                                                              \
  } while (false)
