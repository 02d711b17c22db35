// The pid file's text, as another program may have left it, against a reference reading:
// the longest prefix of an optional sign and decimal digits, converted by from_chars into a
// 32-bit integer.
#include "fuzz/fuzz_support.h"
#include "supervisor/common/files/pid_text.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

namespace {

std::optional<std::int32_t> ReferencePid(std::string_view text) {
  std::size_t digitsAt = 0;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    digitsAt = 1;
  }
  std::size_t end = digitsAt;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
    ++end;
  }
  if (end == digitsAt) {
    return std::nullopt;
  }
  // from_chars reads "-" but not "+".
  const std::size_t from = text[0] == '+' ? 1 : 0;
  std::int32_t value = 0;
  const auto [stop, error] = std::from_chars(text.data() + from, text.data() + end, value);
  if (error != std::errc() || stop != text.data() + end) {
    return std::nullopt;
  }
  return value;
}

std::string Describe(const std::optional<pid_t>& pid) {
  return pid ? std::to_string(*pid) : "nothing";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(sov::fuzz::AsText(data, size));
  const std::optional<pid_t> parsed = sov::supervisor::ParsePid(text);
  const std::optional<std::int32_t> expected = ReferencePid(text);
  if (parsed != expected) {
    sov::fuzz::Broken("ParsePid(\"" + sov::fuzz::Visible(text) + "\") gave " + Describe(parsed) +
                      ", expected " + Describe(expected));
  }
  return 0;
}
