// Control character escaping in the C notation.
#include "sov_common/control_escape.h"

#include "sov_common/utf8.h"

namespace sov::tools {
namespace {

void AppendHex(std::string& out, unsigned char byte) {
  constexpr const char* kDigits = "0123456789abcdef";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0x0F];
}

// The letter of the C escape for `c`, or 0 when it has none.
char NamedEscape(char c) {
  switch (c) {
    case '\\':
      return '\\';
    case '\a':
      return 'a';
    case '\b':
      return 'b';
    case '\t':
      return 't';
    case '\n':
      return 'n';
    case '\v':
      return 'v';
    case '\f':
      return 'f';
    case '\r':
      return 'r';
    default:
      return 0;
  }
}

}  // namespace

std::string EscapeControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text.front());
    if (const char letter = NamedEscape(text.front())) {
      out += '\\';
      out += letter;
      text.remove_prefix(1);
      continue;
    }
    if (byte < 0x20 || byte == 0x7F) {
      AppendHex(out, byte);
      text.remove_prefix(1);
      continue;
    }
    const auto point = DecodeUtf8(text);
    if (!point) {
      AppendHex(out, byte);
      text.remove_prefix(1);
      continue;
    }
    const std::string_view sequence = text.substr(0, point->length);
    if (point->value >= 0x80 && point->value <= 0x9F) {
      for (const char c : sequence) {
        AppendHex(out, static_cast<unsigned char>(c));
      }
    } else {
      out += sequence;
    }
    text.remove_prefix(point->length);
  }
  return out;
}

}  // namespace sov::tools
