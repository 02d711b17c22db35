// The manifest of a patch ("doc/manifest.ini" below its root): what the patch is and which
// product version it carries.
#pragma once

#include "ivo/result.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace sov::supervisor {

enum class PatchImportance { Low = 0, Normal = 1, High = 2, Critical = 3 };

// "Low", "Normal", "High", "Critical"; another value gives
// "EnumToString, invalid 'PatchImportance' enum value: <number>".
std::string ToString(PatchImportance importance);
// The value named `name`; throws std::invalid_argument naming the enumeration and the text.
PatchImportance PatchImportanceFromString(const std::string& name);

struct PatchManifest {
  struct Localization {
    std::string localeId;
    std::string productName;
    std::string patchName;
    std::string infoText;
    std::string infoUrl;
    std::string pluginDownloadUrl;
  };

  std::string patchId;
  std::string releaseTime;
  PatchImportance importance = PatchImportance::Normal;
  std::string productVersion;
  std::string policyVersion;
  std::string pluginVersion;
  bool approvalRequired = false;
  bool eulaIncludesPrivacyPolicy = false;
  std::string packageName = "tarn";
  std::string guiPackageName = "tarn-gui";
  // One per ini section that holds a "LocaleId" key, in file order.
  std::vector<Localization> localizations;
};

namespace manifest_result {
// A syntax error, a missing key or a value that does not convert.
constexpr ivo::ResultCode kTreeError = ivo::result::kBadFormat;
// Any other failure (an unknown importance name).
constexpr ivo::ResultCode kOtherError = ivo::result::kFail;
}  // namespace manifest_result

// Fills `manifest` from the ini text in `in`: the top-level keys "PatchId", "ReleaseTime",
// "Importance" (a PatchImportance name) and "ProductVersion" are required; "PolicyVersion",
// "PluginVersion", "ApprovalRequired", "EulaIncludesPrivacyPolicy" (true/false),
// "PackageName" and "GuiPackageName" are optional. Returns kOk or one of the negative
// manifest_result codes; never throws.
ivo::ResultCode ReadPatchManifest(std::istream& in, PatchManifest& manifest);

}  // namespace sov::supervisor
