// UTF-8 decoding by the forms of a lead byte: each gives the length of the sequence and the
// smallest code point that needs that length (anything below it is an overlong form).
#include "sov_common/utf8.h"

namespace sov::tools {
namespace {

struct MultiByteForm {
  unsigned char mask;
  unsigned char lead;
  std::size_t length;
  char32_t smallest;
};

constexpr MultiByteForm kForms[] = {
    {0xE0, 0xC0, 2, 0x80},
    {0xF0, 0xE0, 3, 0x800},
    {0xF8, 0xF0, 4, 0x10000},
};

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

}  // namespace

std::optional<CodePoint> DecodeUtf8(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  const auto lead = static_cast<unsigned char>(text.front());
  if (lead < 0x80) {
    return CodePoint{lead, 1};
  }
  for (const auto& form : kForms) {
    if ((lead & form.mask) != form.lead) {
      continue;
    }
    if (text.size() < form.length) {
      return std::nullopt;
    }
    char32_t value = lead & static_cast<unsigned char>(~form.mask);
    for (std::size_t i = 1; i < form.length; ++i) {
      const auto byte = static_cast<unsigned char>(text[i]);
      if (!IsContinuation(byte)) {
        return std::nullopt;
      }
      value = (value << 6) | (byte & 0x3F);
    }
    const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    if (value < form.smallest || surrogate || value > 0x10FFFF) {
      return std::nullopt;
    }
    return CodePoint{value, form.length};
  }
  // A continuation byte, or the lead byte of a five or six byte form.
  return std::nullopt;
}

bool IsValidUtf8(std::string_view text) {
  while (!text.empty()) {
    const auto point = DecodeUtf8(text);
    if (!point) {
      return false;
    }
    text.remove_prefix(point->length);
  }
  return true;
}

std::string_view SkipByteOrderMark(std::string_view text) {
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
  return text;
}

}  // namespace sov::tools
