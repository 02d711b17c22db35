// Parsing of the pid file's text. The file is written by another program and may hold
// anything, so the number is read with an explicit range check rather than a conversion
// that could overflow.
#include "supervisor/common/files/pid_text.h"

namespace sov::supervisor {

std::optional<pid_t> ParsePid(const std::string& text) {
  size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  const size_t firstDigit = at;
  long long value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + (text[at] - '0');
    // 2^31 itself is still needed for the most negative value.
    if (value > 2147483648LL) {
      return std::nullopt;
    }
  }
  if (at == firstDigit) {
    return std::nullopt;
  }
  value = negative ? -value : value;
  if (value > 2147483647LL) {
    return std::nullopt;
  }
  return static_cast<pid_t>(value);
}

}  // namespace sov::supervisor
