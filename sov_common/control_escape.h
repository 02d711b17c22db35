// Text from outside (command-line words, names read from files) made safe for one trace
// line or one console message: it can neither break the line nor carry terminal control
// sequences.
#pragma once

#include <string>
#include <string_view>

namespace sov::tools {

// Returns `text` with these replaced, everything else (printable ASCII and well-formed
// UTF-8) kept as it is:
//  - a backslash by "\\", so that an escape in the result never stands for itself;
//  - BEL, BS, TAB, LF, VT, FF, CR by "\a", "\b", "\t", "\n", "\v", "\f", "\r";
//  - every other byte below 0x20 and DEL by "\x" and two lower-case hex digits ("\x1b");
//  - each byte of a C1 control (U+0080 to U+009F) and each byte that is not part of a
//    well-formed UTF-8 sequence likewise ("\xc2\x9b", "\xff").
std::string EscapeControlCharacters(std::string_view text);

}  // namespace sov::tools
