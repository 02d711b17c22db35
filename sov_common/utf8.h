// UTF-8 as the files and traces of the product carry it: well-formed sequences only, that
// is no overlong forms, no surrogates and nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace sov::tools {

struct CodePoint {
  char32_t value;
  std::size_t length;  // bytes taken, 1 to 4
};

// The code point that begins `text`; nullopt when `text` is empty or does not begin with a
// well-formed sequence.
std::optional<CodePoint> DecodeUtf8(std::string_view text);

bool IsValidUtf8(std::string_view text);

// U+FEFF encoded, which editors of other systems write at the start of a UTF-8 text file.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// `text` without the byte-order mark that it may begin with: the mark belongs to the
// encoding, not to the first line of the text.
std::string_view SkipByteOrderMark(std::string_view text);

}  // namespace sov::tools
