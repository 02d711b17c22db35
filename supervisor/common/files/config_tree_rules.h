// What the ini, XML and JSON files can hold. A writer checks its tree against these rules
// before it writes anything, so that it never writes a file that its reader refuses or reads
// back as another tree; the readers refuse files past the same limits.
#pragma once

#include <boost/property_tree/ptree_fwd.hpp>

#include <cstddef>
#include <optional>
#include <string>

namespace sov::supervisor {

// The largest configuration file that is read or written.
inline constexpr std::size_t kMaxConfigFileSize = std::size_t{64} << 20;
// The deepest nesting of XML elements or of JSON objects and arrays (the top-level
// element, or the top-level object, is level 1). Parsing is recursive, so a deeper file
// could exhaust the stack.
inline constexpr std::size_t kMaxConfigNesting = 256;

// Why a tree cannot be written: the key at fault (its path, parts joined by ".", control
// characters escaped; an array element of JSON shows as "[index]"; none for the tree's
// root) and the reason.
struct TreeFault {
  std::optional<std::string> key;
  std::string reason;
};

// Ini: at most a level of sections over a level of keys; no duplicate names on a level;
// no text on the root or on a section. Keys, section names and values hold no NUL and no
// line break (CR or LF), and neither begin nor end with white space (the reader trims
// it). A key is not empty, holds no "=" and does not begin with "[", ";" or "#" (which
// would read as a section or a comment); a section name holds no "]". No key or section
// name begins with a UTF-8 byte-order mark, which the reader skips at the start of a file.
// The one thing the format cannot keep is order: top-level keys are written before the
// sections.
std::optional<TreeFault> FindIniFault(const boost::property_tree::ptree& tree);

// XML: no text and no attributes on the root; element and attribute names are XML names;
// "<xmlattr>" (the attributes) at most once per element, holding only named values, and
// not empty; no NUL anywhere; the text of an element that has child elements neither
// begins nor ends with white space (that is the layout the writer adds and the reader
// removes); at most kMaxConfigNesting levels of elements. (Comments and "<xmltext>"
// nodes are not XML names, so they are refused: the reader does not keep comments.)
// The one thing the format cannot keep is order: attributes are read back as the
// element's first child.
std::optional<TreeFault> FindXmlFault(const boost::property_tree::ptree& tree);

// JSON: no text on the root; no node with both text and children; keys and values are
// UTF-8 without NUL; at most kMaxConfigNesting levels of objects and arrays.
std::optional<TreeFault> FindJsonFault(const boost::property_tree::ptree& tree);

}  // namespace sov::supervisor
