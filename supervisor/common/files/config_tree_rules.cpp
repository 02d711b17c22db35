// The rules follow the readers of the property tree library as this build uses them: the
// ini reader trims keys, values and section names, takes the first "=" as the separator
// and a leading "[", ";" or "#" as a section or a comment, and Utils skips a byte-order
// mark before it; the XML reader keeps text as it is but drops comments, and Utils trims
// the text of elements with children; the JSON reader wants UTF-8.
#include "supervisor/common/files/config_tree_rules.h"

#include "sov_common/control_escape.h"
#include "sov_common/utf8.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <set>
#include <string_view>
#include <utility>
#include <vector>

namespace sov::supervisor {
namespace pt = boost::property_tree;
namespace {

using Reason = std::optional<std::string>;

// The keys from the root to the node being checked; joined into a fault's key only when
// there is a fault.
class KeyPath {
 public:
  // Adds one key for the life of the object.
  class Step {
   public:
    Step(KeyPath& path, std::string label) : path_(path) {
      path_.labels_.push_back(std::move(label));
    }
    ~Step() { path_.labels_.pop_back(); }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

   private:
    KeyPath& path_;
  };

  TreeFault Fault(std::string reason) const {
    if (labels_.empty()) {
      return {std::nullopt, std::move(reason)};
    }
    std::string key;
    for (const auto& label : labels_) {
      if (&label != &labels_.front()) {
        key += '.';
      }
      key += sov::tools::EscapeControlCharacters(label);
    }
    return {key, std::move(reason)};
  }

 private:
  std::vector<std::string> labels_;
};

bool HasNul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

std::string TooDeep(const char* what) {
  return std::string(what) + " nest deeper than " + std::to_string(kMaxConfigNesting) + " levels";
}

// ---- ini

// What the ini reader trims: white space of the C locale.
bool IsIniBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

Reason IniTextFault(std::string_view text, const std::string& what) {
  if (HasNul(text)) {
    return what + " contains a NUL byte";
  }
  if (text.find_first_of("\r\n") != std::string_view::npos) {
    return what + " contains a line break";
  }
  if (!text.empty() && (IsIniBlank(text.front()) || IsIniBlank(text.back()))) {
    return what + " begins or ends with white space";
  }
  return std::nullopt;
}

// The reader skips a byte-order mark at the start of the file, which a key or section name
// written first would begin with.
Reason IniNameFault(std::string_view name, const std::string& what) {
  if (name.substr(0, sov::tools::kByteOrderMark.size()) == sov::tools::kByteOrderMark) {
    return what + " begins with a byte-order mark";
  }
  return IniTextFault(name, what);
}

Reason IniKeyFault(std::string_view key) {
  if (key.empty()) {
    return "the key is empty";
  }
  if (auto fault = IniNameFault(key, "the key")) {
    return fault;
  }
  if (key.find('=') != std::string_view::npos) {
    return "the key contains \"=\"";
  }
  if (key.front() == '[' || key.front() == ';' || key.front() == '#') {
    return std::string("the key begins with \"") + key.front() + "\"";
  }
  return std::nullopt;
}

Reason IniSectionFault(std::string_view name, const pt::ptree& section) {
  if (auto fault = IniNameFault(name, "the section name")) {
    return fault;
  }
  if (name.find(']') != std::string_view::npos) {
    return "the section name contains \"]\"";
  }
  if (!section.data().empty()) {
    return "a section cannot hold a value";
  }
  return std::nullopt;
}

// The keys and sections of the top level, or the keys of one section.
std::optional<TreeFault> IniLevelFault(const pt::ptree& level, KeyPath& path, bool topLevel) {
  std::set<std::string_view> names;
  for (const auto& [name, node] : level) {
    const KeyPath::Step step(path, name);
    if (!names.insert(name).second) {
      return path.Fault("the name occurs twice");
    }
    if (node.empty()) {
      if (auto fault = IniKeyFault(name)) {
        return path.Fault(*fault);
      }
      if (auto fault = IniTextFault(node.data(), "the value")) {
        return path.Fault(*fault);
      }
    } else if (!topLevel) {
      return path.Fault("a key cannot have keys below it");
    } else {
      if (auto fault = IniSectionFault(name, node)) {
        return path.Fault(*fault);
      }
      if (auto fault = IniLevelFault(node, path, false)) {
        return fault;
      }
    }
  }
  return std::nullopt;
}

// ---- XML

bool InRanges(char32_t c, std::initializer_list<std::pair<char32_t, char32_t>> ranges) {
  for (const auto& [first, last] : ranges) {
    if (c >= first && c <= last) {
      return true;
    }
  }
  return false;
}

bool IsXmlNameStart(char32_t c) {
  return InRanges(c, {{':', ':'},
                      {'A', 'Z'},
                      {'_', '_'},
                      {'a', 'z'},
                      {0xC0, 0xD6},
                      {0xD8, 0xF6},
                      {0xF8, 0x2FF},
                      {0x370, 0x37D},
                      {0x37F, 0x1FFF},
                      {0x200C, 0x200D},
                      {0x2070, 0x218F},
                      {0x2C00, 0x2FEF},
                      {0x3001, 0xD7FF},
                      {0xF900, 0xFDCF},
                      {0xFDF0, 0xFFFD},
                      {0x10000, 0xEFFFF}});
}

bool IsXmlNameChar(char32_t c) {
  return IsXmlNameStart(c) ||
         InRanges(
             c,
             {{'-', '-'}, {'.', '.'}, {'0', '9'}, {0xB7, 0xB7}, {0x300, 0x36F}, {0x203F, 0x2040}});
}

bool IsXmlName(std::string_view name) {
  bool first = true;
  while (!name.empty()) {
    const auto point = sov::tools::DecodeUtf8(name);
    if (!point || !(first ? IsXmlNameStart(point->value) : IsXmlNameChar(point->value))) {
      return false;
    }
    first = false;
    name.remove_prefix(point->length);
  }
  return !first;
}

// The white space of XML: what the layout between elements is made of.
bool IsXmlBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

const std::string& AttributesKey() {
  return pt::xml_parser::xmlattr<std::string>();
}

std::optional<TreeFault> XmlAttributesFault(const pt::ptree& attributes, KeyPath& path) {
  if (!attributes.data().empty()) {
    return path.Fault("the attribute list holds text");
  }
  if (attributes.empty()) {
    return path.Fault("the attribute list is empty");
  }
  for (const auto& [name, value] : attributes) {
    const KeyPath::Step step(path, name);
    if (!IsXmlName(name)) {
      return path.Fault("not an XML name");
    }
    if (!value.empty()) {
      return path.Fault("an attribute cannot have children");
    }
    if (HasNul(value.data())) {
      return path.Fault("the value contains a NUL byte");
    }
  }
  return std::nullopt;
}

std::optional<TreeFault> XmlElementFault(const std::string& name,
                                         const pt::ptree& element,
                                         KeyPath& path,
                                         std::size_t level) {
  if (level > kMaxConfigNesting) {
    return path.Fault(TooDeep("elements"));
  }
  if (!IsXmlName(name)) {
    return path.Fault("not an XML name");
  }
  const std::string& text = element.data();
  if (HasNul(text)) {
    return path.Fault("the text contains a NUL byte");
  }
  bool hasAttributes = false;
  bool hasElements = false;
  for (const auto& [childName, child] : element) {
    const KeyPath::Step step(path, childName);
    if (childName != AttributesKey()) {
      hasElements = true;
      if (auto fault = XmlElementFault(childName, child, path, level + 1)) {
        return fault;
      }
    } else if (hasAttributes) {
      return path.Fault("a second attribute list");
    } else {
      hasAttributes = true;
      if (auto fault = XmlAttributesFault(child, path)) {
        return fault;
      }
    }
  }
  if (hasElements && !text.empty() && (IsXmlBlank(text.front()) || IsXmlBlank(text.back()))) {
    return path.Fault("text beside child elements begins or ends with white space");
  }
  return std::nullopt;
}

// ---- JSON

Reason JsonTextFault(std::string_view text, const std::string& what) {
  if (HasNul(text)) {
    return what + " contains a NUL byte";
  }
  if (!sov::tools::IsValidUtf8(text)) {
    return what + " is not UTF-8";
  }
  return std::nullopt;
}

// `container` (the root or a node with children) is an object or an array at `level`.
std::optional<TreeFault> JsonContainerFault(const pt::ptree& container,
                                            KeyPath& path,
                                            std::size_t level) {
  if (level > kMaxConfigNesting) {
    return path.Fault(TooDeep("objects and arrays"));
  }
  std::size_t index = 0;
  for (const auto& [key, child] : container) {
    const KeyPath::Step step(path, key.empty() ? "[" + std::to_string(index) + "]" : key);
    ++index;
    if (auto fault = JsonTextFault(key, "the key")) {
      return path.Fault(*fault);
    }
    if (child.empty()) {
      if (auto fault = JsonTextFault(child.data(), "the value")) {
        return path.Fault(*fault);
      }
    } else if (!child.data().empty()) {
      return path.Fault("a value with children");
    } else if (auto fault = JsonContainerFault(child, path, level + 1)) {
      return fault;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<TreeFault> FindIniFault(const pt::ptree& tree) {
  KeyPath path;
  if (!tree.data().empty()) {
    return path.Fault("the top level holds text");
  }
  return IniLevelFault(tree, path, true);
}

std::optional<TreeFault> FindXmlFault(const pt::ptree& tree) {
  KeyPath path;
  if (!tree.data().empty()) {
    return path.Fault("the top level holds text");
  }
  for (const auto& [name, element] : tree) {
    const KeyPath::Step step(path, name);
    if (name == AttributesKey()) {
      return path.Fault("the top level cannot have attributes");
    }
    if (auto fault = XmlElementFault(name, element, path, 1)) {
      return fault;
    }
  }
  return std::nullopt;
}

std::optional<TreeFault> FindJsonFault(const pt::ptree& tree) {
  KeyPath path;
  if (!tree.data().empty()) {
    return path.Fault("the top level holds text");
  }
  return JsonContainerFault(tree, path, 1);
}

}  // namespace sov::supervisor
