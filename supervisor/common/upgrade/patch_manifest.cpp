// Patch manifest reader.
#include "supervisor/common/upgrade/patch_manifest.h"

#include "sov_common/enum_names.h"

#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <array>
#include <stdexcept>

namespace sov::supervisor {
namespace pt = boost::property_tree;
namespace {

constexpr std::array<const char*, 4> kImportanceNames = {"Low", "Normal", "High", "Critical"};

PatchManifest::Localization ReadLocalization(const pt::ptree& section) {
  PatchManifest::Localization entry;
  entry.localeId = section.get<std::string>("LocaleId");
  entry.productName = section.get<std::string>("ProductName", "");
  entry.patchName = section.get<std::string>("PatchName", "");
  entry.infoText = section.get<std::string>("InfoText", "");
  entry.infoUrl = section.get<std::string>("InfoURL", "");
  entry.pluginDownloadUrl = section.get<std::string>("PluginDownloadURL", "");
  return entry;
}

// An absent flag is false; a present one must convert (the defaulted get would hide a
// malformed value).
bool OptionalFlag(const pt::ptree& tree, const char* key) {
  return tree.count(key) != 0 && tree.get<bool>(key);
}

void Fill(const pt::ptree& tree, PatchManifest& manifest) {
  manifest.patchId = tree.get<std::string>("PatchId");
  manifest.releaseTime = tree.get<std::string>("ReleaseTime");
  manifest.importance = PatchImportanceFromString(tree.get<std::string>("Importance"));
  manifest.productVersion = tree.get<std::string>("ProductVersion");
  manifest.policyVersion = tree.get<std::string>("PolicyVersion", "");
  manifest.pluginVersion = tree.get<std::string>("PluginVersion", "");
  manifest.approvalRequired = OptionalFlag(tree, "ApprovalRequired");
  manifest.eulaIncludesPrivacyPolicy = OptionalFlag(tree, "EulaIncludesPrivacyPolicy");
  manifest.packageName = tree.get<std::string>("PackageName", "tarn");
  manifest.guiPackageName = tree.get<std::string>("GuiPackageName", "tarn-gui");
  manifest.localizations.clear();
  for (const auto& [name, section] : tree) {
    if (!section.empty() && section.count("LocaleId") != 0) {
      manifest.localizations.push_back(ReadLocalization(section));
    }
  }
}

}  // namespace

std::string ToString(PatchImportance importance) {
  return sov::tools::EnumName(kImportanceNames, static_cast<int>(importance), "PatchImportance");
}

PatchImportance PatchImportanceFromString(const std::string& name) {
  return sov::tools::EnumValue<PatchImportance>(kImportanceNames, name, "PatchImportance");
}

ivo::ResultCode ReadPatchManifest(std::istream& in, PatchManifest& manifest) {
  try {
    pt::ptree tree;
    pt::read_ini(in, tree);
    Fill(tree, manifest);
    return ivo::result::kOk;
  } catch (const pt::ptree_error&) {
    return manifest_result::kTreeError;
  } catch (const std::exception&) {
    return manifest_result::kOtherError;
  }
}

}  // namespace sov::supervisor
