// Fills the positional placeholders of a message text with arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sov::localization {

// Copies `text`, replacing in one pass from left to right:
//   "%N$s"  with arguments[N - 1] (N counts from 1);
//   "%N$x"  with arguments[N - 1] read as a decimal number and written in lower-case
//           hexadecimal; an argument that is not a plain decimal number that fits in 64 bits
//           (sign, spaces, empty) is inserted unchanged;
//   "%%"    with "%".
// A placeholder whose argument is missing is kept as it stands, and anything else, including
// a lone or unknown "%" sequence, is copied. Inserted arguments are not scanned again, so an
// argument holding "%1$s" appears literally.
std::string FormatMessage(std::string_view text, const std::vector<std::string>& arguments);

}  // namespace sov::localization
