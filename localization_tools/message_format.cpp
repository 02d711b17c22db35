// Placeholder substitution for message texts. Translations reorder arguments, hence the
// positional "%N$s" form; texts come from files, so a malformed or out-of-range
// placeholder is copied rather than trusted.
#include "localization_tools/message_format.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace sov::localization {
namespace {

// A plain decimal number: digits only, nothing before or after, no overflow.
template <typename Number>
std::optional<Number> ParseDecimal(std::string_view digits) {
  Number value = 0;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  if (digits.empty() || error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

std::string ToHex(const std::string& argument) {
  // from_chars accepts no sign and no spaces, so "-1" and " 1" stay as they are.
  const auto value = ParseDecimal<std::uint64_t>(argument);
  if (!value) {
    return argument;
  }
  char buffer[16];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), *value, 16);
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string FormatMessage(std::string_view text, const std::vector<std::string>& arguments) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c != '%' || i + 1 == text.size()) {
      out += c;
      ++i;
      continue;
    }
    if (text[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    // "%" digits "$" conversion; anything short of that is copied character by character.
    std::size_t digitsEnd = i + 1;
    while (digitsEnd < text.size() && text[digitsEnd] >= '0' && text[digitsEnd] <= '9') {
      ++digitsEnd;
    }
    const std::size_t placeholderEnd = digitsEnd + 2;
    const bool wellFormed = placeholderEnd <= text.size() && text[digitsEnd] == '$' &&
                            (text[digitsEnd + 1] == 's' || text[digitsEnd + 1] == 'x');
    const auto position = wellFormed
                              ? ParseDecimal<std::size_t>(text.substr(i + 1, digitsEnd - i - 1))
                              : std::nullopt;
    if (!position || *position == 0 || *position > arguments.size()) {
      out += c;
      ++i;
      continue;
    }
    const std::string& argument = arguments[*position - 1];
    out += text[digitsEnd + 1] == 's' ? argument : ToHex(argument);
    i = placeholderEnd;
  }
  return out;
}

}  // namespace sov::localization
