// Write-then-read of the XML files (the product's settings). An XML document holds one root
// element; an element holds either text or elements, and its attributes, which the tree
// keeps in a first child "<xmlattr>" with one value per attribute. Comments and loose text
// nodes are not written by the launcher and are left out.
#include "fuzz/config_round_trip.h"
#include "fuzz/fuzz_support.h"
#include "supervisor/common/files/utils.h"

#include <boost/property_tree/ptree.hpp>

#include <iterator>

namespace {
namespace pt = boost::property_tree;

const std::string kAttributes = "<xmlattr>";

bool IsReserved(const std::string& key) {
  return key == kAttributes || key == "<xmlcomment>" || key == "<xmltext>";
}

// Cuts `node` to what an element can hold, in place (trees may be deep): a first
// "<xmlattr>" child with at least one attribute, each a plain value; then elements, or else
// the node's own text.
void TrimToElement(pt::ptree& node) {
  bool hasElements = false;
  for (auto child = node.begin(); child != node.end();) {
    if (child == node.begin() && child->first == kAttributes && !child->second.empty()) {
      for (auto& attribute : child->second) {
        attribute.second = pt::ptree(attribute.second.data());
      }
      ++child;
    } else if (IsReserved(child->first)) {
      child = node.erase(child);
    } else {
      TrimToElement(child->second);
      hasElements = true;
      ++child;
    }
  }
  if (hasElements) {
    node.data().clear();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const sov::supervisor::Utils utils;
  static const sov::fuzz::ConfigFormat xml = {
      "XML", [](const auto& path, const auto& tree) { utils.WriteXml(path, tree); },
      [](const auto& path, auto& tree) { utils.ReadXml(path, tree); }};
  pt::ptree document = sov::fuzz::BuildTree(sov::fuzz::AsText(data, size), 100000);
  // One root element: the first that is not a reserved name.
  auto root = document.begin();
  while (root != document.end() && IsReserved(root->first)) {
    root = document.erase(root);
  }
  if (root != document.end()) {
    document.erase(std::next(root), document.end());
    TrimToElement(root->second);
  }
  sov::fuzz::CheckRoundTrip(xml, document, document);
  return 0;
}
