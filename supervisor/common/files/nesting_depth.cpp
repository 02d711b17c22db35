// Nesting scans of XML and JSON text. The XML scan skips what the parser skips in the same
// way (to the first "-->", "]]>", "?>" or, for other "<!" markup, ">"), so it cannot lose
// count of elements that the parser would enter.
#include "supervisor/common/files/nesting_depth.h"

namespace sov::supervisor {
namespace {

constexpr auto npos = std::string_view::npos;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The position after the first `end` at or after `from`; the end of the text without one.
std::size_t After(std::string_view text, std::size_t from, std::string_view end) {
  const std::size_t at = text.find(end, from);
  return at == npos ? text.size() : at + end.size();
}

// The position after the ">" that closes the start tag beginning at `from` (just after
// its "<"), stepping over quoted attribute values. `empty` tells whether it was "/>".
std::size_t AfterStartTag(std::string_view text, std::size_t from, bool& empty) {
  for (std::size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      i = text.find(c, i + 1);
      if (i == npos) {
        break;
      }
    } else if (c == '>') {
      empty = text[i - 1] == '/';
      return i + 1;
    }
  }
  empty = false;
  return text.size();
}

}  // namespace

bool XmlNestsDeeperThan(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  std::size_t at = 0;
  while ((at = text.find('<', at)) != npos) {
    const std::string_view markup = text.substr(at);
    if (StartsWith(markup, "<!--")) {
      at = After(text, at + 4, "-->");
    } else if (StartsWith(markup, "<![CDATA[")) {
      at = After(text, at + 9, "]]>");
    } else if (StartsWith(markup, "<?")) {
      at = After(text, at + 2, "?>");
    } else if (StartsWith(markup, "<!")) {
      at = After(text, at + 2, ">");
    } else if (StartsWith(markup, "</")) {
      depth -= depth > 0 ? 1 : 0;
      at += 2;
    } else {
      bool empty = false;
      at = AfterStartTag(text, at + 1, empty);
      if (!empty && ++depth > limit) {
        return true;
      }
    }
  }
  return false;
}

bool JsonNestsDeeperThan(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character, a quote among them
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) {
        return true;
      }
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return false;
}

}  // namespace sov::supervisor
