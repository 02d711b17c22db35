#include "supervisor/common/upgrade/version.h"

#include "supervisor/common/upgrade/patch_manifest.h"

#include <gtest/gtest.h>

#include <sstream>

namespace sov::supervisor {
namespace {

TEST(VersionTest, FromText) {
  const struct {
    const char* text;
    const char* expected;
    const char* why;
  } cases[] = {
      {"12.6.0.118", "12.6.0.118", "four parts"},
      {"12.4", "12.4.0.0", "missing parts are 0"},
      {"7", "7.0.0.0", "one part"},
      {"1.2.3.2147483648", "1.2.3.0", "above int range gives 0"},
      {"1.99999999999999999999.3.4", "1.0.3.4", "far above int range gives 0"},
      {"0012.06.0.1", "12.6.0.1", "leading zeros"},
      {"1.2.3.4.5", "0.0.0.0", "five parts do not match"},
      {"v1.2", "0.0.0.0", "text around the numbers"},
      {"", "0.0.0.0", "empty"},
      {"1..2", "0.0.0.0", "an empty part"},
      {"1.2.", "0.0.0.0", "a trailing dot"},
      {".1", "0.0.0.0", "a leading dot"},
      {"1.-2", "0.0.0.0", "a sign"},
      {" 1.2", "0.0.0.0", "a blank"},
      {"1.2\n", "0.0.0.0", "a line end"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.expected, Version::FromText(c.text).ToString());
  }
}

TEST(VersionTest, OrderIsMajorFirst) {
  EXPECT_LT(Version(12, 3, 9, 999), Version(12, 4, 0, 0));
  EXPECT_LT(Version(11, 9, 9, 9), Version(12, 0, 0, 0));
  EXPECT_FALSE(Version(12, 4, 0, 0) < Version(12, 4, 0, 0));
  EXPECT_EQ(Version(12, 4, 0, 0), Version::FromText("12.4"));
  const Version version(1, 2, 3, 4);
  EXPECT_EQ(4u, version.revision);
  EXPECT_EQ(1u, version.major);
}

TEST(PatchManifestTest, ReadsEveryField) {
  std::istringstream in(
      "PatchId=critical-fix-1\nReleaseTime=2026-11-30T10:00:00\nImportance=High\n"
      "ProductVersion=12.6.0.118\nPolicyVersion=1.0\nPluginVersion=2.1\nApprovalRequired=true\n"
      "EulaIncludesPrivacyPolicy=false\nPackageName=tarn\n"
      "[Localization-en]\nLocaleId=en-US\nProductName=Brevantis Endpoint Security\n"
      "PatchName=Fix\nInfoText=Text\nInfoURL=https://example.invalid/info\n"
      "PluginDownloadURL=https://example.invalid/plugin\n"
      "[Localization-de]\nLocaleId=de-DE\nProductName=Brevantis Endpoint-Sicherheit\n");
  PatchManifest manifest;
  ASSERT_EQ(ivo::result::kOk, ReadPatchManifest(in, manifest));
  EXPECT_EQ("critical-fix-1", manifest.patchId);
  EXPECT_EQ(PatchImportance::High, manifest.importance);
  EXPECT_EQ("12.6.0.118", manifest.productVersion);
  EXPECT_TRUE(manifest.approvalRequired);
  EXPECT_EQ("tarn-gui", manifest.guiPackageName);
  ASSERT_EQ(2u, manifest.localizations.size());
  EXPECT_EQ("de-DE", manifest.localizations[1].localeId);
  EXPECT_EQ("https://example.invalid/plugin", manifest.localizations[0].pluginDownloadUrl);
}

TEST(PatchManifestTest, FailuresAreNegativeCodes) {
  const struct {
    const char* text;
    ivo::ResultCode code;
    const char* why;
  } cases[] = {
      {"PatchId=x\nReleaseTime=t\nImportance=High\n", manifest_result::kTreeError,
       "ProductVersion missing"},
      {"PatchId=x\nReleaseTime=t\nImportance=High\nProductVersion=1\nApprovalRequired=maybe\n",
       manifest_result::kTreeError, "a flag that does not convert"},
      {"not ini at all\n", manifest_result::kTreeError, "syntax error"},
      {"PatchId=x\nReleaseTime=t\nImportance=Urgent\nProductVersion=1\n",
       manifest_result::kOtherError, "unknown importance"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::istringstream in(c.text);
    PatchManifest manifest;
    EXPECT_EQ(c.code, ReadPatchManifest(in, manifest));
    EXPECT_TRUE(ivo::Failed(c.code));
  }
  EXPECT_EQ("EnumToString, invalid 'PatchImportance' enum value: 9",
            ToString(static_cast<PatchImportance>(9)));
}

}  // namespace
}  // namespace sov::supervisor
