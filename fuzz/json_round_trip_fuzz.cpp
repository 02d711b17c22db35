// Write-then-read of the JSON files (upgrade info, events). A node holds either a text value
// or children; children that all have empty keys are an array, others an object.
#include "fuzz/config_round_trip.h"
#include "fuzz/fuzz_support.h"
#include "supervisor/common/files/utils.h"

#include <boost/property_tree/ptree.hpp>

namespace {
namespace pt = boost::property_tree;

void DropValuesOfContainers(pt::ptree& node) {
  if (node.empty()) {
    return;
  }
  node.data().clear();
  for (auto& child : node) {
    DropValuesOfContainers(child.second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const sov::supervisor::Utils utils;
  static const sov::fuzz::ConfigFormat json = {
      "JSON", [](const auto& path, const auto& tree) { utils.WriteJson(path, tree); },
      [](const auto& path, auto& tree) { utils.ReadJson(path, tree); }};
  pt::ptree tree = sov::fuzz::BuildTree(sov::fuzz::AsText(data, size), 100000);
  DropValuesOfContainers(tree);
  sov::fuzz::CheckRoundTrip(json, tree, tree);
  return 0;
}
