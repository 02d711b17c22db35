// Write-then-read of the ini files (the live ini, agreements, upgrade state). An ini file
// holds keys at the top and sections of keys below them, nothing deeper, and a section has
// no value of its own; the writer puts the top-level keys before the sections.
#include "fuzz/config_round_trip.h"
#include "fuzz/fuzz_support.h"
#include "supervisor/common/files/utils.h"

#include <boost/property_tree/ptree.hpp>

namespace {
namespace pt = boost::property_tree;

// Sections keep no value; top-level keys go first, each group in its order.
pt::ptree InIniOrder(const pt::ptree& tree) {
  pt::ptree ordered;
  for (const auto& [key, node] : tree) {
    if (node.empty()) {
      ordered.push_back({key, node});
    }
  }
  for (const auto& [key, node] : tree) {
    if (!node.empty()) {
      ordered.push_back({key, node});
    }
  }
  return ordered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const sov::supervisor::Utils utils;
  static const sov::fuzz::ConfigFormat ini = {
      "ini", [](const auto& path, const auto& tree) { utils.WriteIni(path, tree); },
      [](const auto& path, auto& tree) { utils.ReadIni(path, tree); }};
  pt::ptree tree = sov::fuzz::BuildTree(sov::fuzz::AsText(data, size), 2);
  for (auto& [key, node] : tree) {
    if (!node.empty()) {
      node.data().clear();
    }
  }
  sov::fuzz::CheckRoundTrip(ini, tree, InIniOrder(tree));
  return 0;
}
