// A cheap look at XML or JSON text before a recursive parser sees it: how deep do its
// elements, objects or arrays nest? A few hundred thousand nested brackets would overflow
// the parser's stack.
#pragma once

#include <cstddef>
#include <string_view>

namespace sov::supervisor {

// Whether elements nest deeper than `limit` (a top-level element is level 1). Comments,
// CDATA sections, processing instructions, declarations and quoted attribute values are
// skipped. The count never falls below what the parser would reach: text that the parser
// refuses may count deeper, never shallower.
bool XmlNestsDeeperThan(std::string_view text, std::size_t limit);

// Whether objects and arrays nest deeper than `limit` (the top-level object is level 1).
// Brackets inside strings do not count.
bool JsonNestsDeeperThan(std::string_view text, std::size_t limit);

}  // namespace sov::supervisor
