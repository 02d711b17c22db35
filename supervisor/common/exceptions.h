// The launcher's exception classes. ApplicationError and ApplicationWarning are shown to
// the user by main and may carry the process exit code; without one the process exits 1.
#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

namespace sov::supervisor {

// Internal failure; the text is meant for the trace file.
class PrivateException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure whose text may be shown to the user.
class PublicException : public PrivateException {
 public:
  using PrivateException::PrivateException;
};

class ApplicationError : public PublicException {
 public:
  explicit ApplicationError(const std::string& message, std::optional<int> exitCode = {})
      : PublicException(message), exitCode_(exitCode) {}
  std::optional<int> ExitCode() const { return exitCode_; }

 private:
  std::optional<int> exitCode_;
};

class ApplicationWarning : public PublicException {
 public:
  explicit ApplicationWarning(const std::string& message, std::optional<int> exitCode = {})
      : PublicException(message), exitCode_(exitCode) {}
  std::optional<int> ExitCode() const { return exitCode_; }

 private:
  std::optional<int> exitCode_;
};

// The exception as the exception library's diagnostic report renders it: the throw
// location when known, the dynamic type and what(), each line ending in a newline.
std::string DiagnosticText(const std::exception_ptr& error);

}  // namespace sov::supervisor
