#include "localization_tools/message_catalogue.h"

#include "localization_tools/message_format.h"
#include "localization_tools/translator.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

namespace sov::localization {
namespace {

// LookupMessage consults the process-wide translator: every case starts and ends in English.
class MessageCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override { Translator::Instance().Reset(); }
  void TearDown() override { Translator::Instance().Reset(); }
};

TEST_F(MessageCatalogueTest, LauncherMessagesHaveTheirKeysAndTexts) {
  const struct {
    std::uint32_t number;
    const char* key;
    const char* text;
  } cases[] = {
      {40, "AppInstallFailed", "Error installing the application"},
      {43, "AppInfoUpdateInstalledNeedReboot",
       "An application update was installed. Restart the operating system."},
      {46, "AppInfoUpdateInstalledAutoRestart",
       "An application update or cryptossl module update was installed. The application will "
       "restart automatically."},
      {55, "AppRunConfigureScript",
       "Run the '%1$s' file to perform the initial configuration of the application"},
      {56, "AppConfigurationRequired",
       "'%1$s' application is installed successfully. Initial configuration is needed"},
      {57, "AppUpdateInstalled",
       "Update version %2$s of the '%1$s' application has been installed successfully"},
      {1143, "SovProductTitle1", "Brevantis Endpoint Security %1$s for Linux"},
      {1348, "SetupSeLinuxLabeling", "Labeling executable files of the application..."},
      {1349, "SetupSeLinuxLabeled",
       "Labels of the executable files of the application were assigned automatically"},
      {1350, "SetupSeLinuxNotLabeled",
       "Labels of the executable files of the application were not assigned. If you have "
       "SELinux installed, manually configure SELinux to work with the application."},
      {1351, "SetupSeLinuxCompileModule", "Compiling module '%1$s'\xE2\x80\xA6"},
      {1352, "SetupSeLinuxInstallModule", "Installing module '%1$s'\xE2\x80\xA6"},
      {1353, "SetupSeLinuxEnableModule", "Enabling module '%1$s'\xE2\x80\xA6"},
      {1354, "SetupSeLinuxNeedUtils",
       "SELinux tools not found: %1$s. The application may not work correctly."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    EXPECT_EQ(c.text, LookupMessage(c.number));
    EXPECT_EQ(c.key, MessageKey(c.number));
    ASSERT_EQ(1u, BuiltinCatalogue().count(c.number));
    EXPECT_EQ(1u, BuiltinCatalogue().at(c.number).forms.size()) << "English has one form";
  }
}

TEST_F(MessageCatalogueTest, NeighbourMessagesArePresent) {
  const struct {
    std::uint32_t number;
    const char* key;  // nullptr: the key is ours to choose
  } cases[] = {
      {41, nullptr},
      {44, "AppInfoUpdateInstalledNeedRestart"},
      {45, "AppInfoUpdateInstalledNeedRestart2"},
      {50, "AppKernelModuleBuildFailed"},
      {51, "AppPatchInstallError"},
      {52, "AppPatchRollbackError"},
      {53, "AppModuleIntegrityCheckFailed"},
      {54, "AppModuleIntegrityCheckOk"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    EXPECT_NE(kMessageNotFound, LookupMessage(c.number));
    EXPECT_FALSE(LookupMessage(c.number).empty());
    EXPECT_FALSE(MessageKey(c.number).empty());
    if (c.key != nullptr) {
      EXPECT_EQ(c.key, MessageKey(c.number));
    }
  }
}

TEST_F(MessageCatalogueTest, UnknownNumbersGiveTheMarker) {
  const struct {
    std::uint32_t number;
    const char* why;
  } cases[] = {
      {225, "a gap the launcher must not fill"},
      {42, "a gap between neighbours"},
      {0, "numbers start at 1"},
      {1401, "above the highest number"},
      {std::numeric_limits<std::uint32_t>::max(), "largest number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ("63fc5ebd-ec5d-4486-91be-7c6efced3a77", LookupMessage(c.number));
    EXPECT_EQ("63fc5ebd-ec5d-4486-91be-7c6efced3a77", LookupMessage(c.number, 3));
    EXPECT_EQ("", MessageKey(c.number));
  }
}

TEST_F(MessageCatalogueTest, PluralIndexBeyondTheFormsGivesTheLastForm) {
  EXPECT_EQ("Error installing the application", LookupMessage(40, 5));
  EXPECT_EQ("Error installing the application",
            LookupMessage(40, std::numeric_limits<std::size_t>::max()));
}

TEST_F(MessageCatalogueTest, EllipsisIsTheSingleCharacterU2026) {
  for (const std::uint32_t number : {1351u, 1352u, 1353u}) {
    SCOPED_TRACE(number);
    const std::string text = LookupMessage(number);
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ("'\xE2\x80\xA6", text.substr(text.size() - 4));
  }
}

TEST_F(MessageCatalogueTest, EntriesAreFiledUnderTheirNumberWithUniqueKeys) {
  std::set<std::string> keys;
  for (const auto& [number, entry] : BuiltinCatalogue()) {
    SCOPED_TRACE(number);
    EXPECT_EQ(number, entry.number);
    EXPECT_TRUE(keys.insert(entry.key).second) << "duplicate key " << entry.key;
    ASSERT_FALSE(entry.forms.empty());
    EXPECT_EQ(entry.forms.front(), LookupMessage(number));
  }
}

TEST_F(MessageCatalogueTest, UpdateInstalledMessageFormatsWithProductTitle) {
  EXPECT_EQ("Brevantis Endpoint Security 12 for Linux", FormatMessage(LookupMessage(1143), {"12"}));
  EXPECT_EQ(
      "Update version 12.6.0.118 of the 'Brevantis Endpoint Security 12 for Linux' application "
      "has been installed successfully",
      FormatMessage(LookupMessage(57), {"Brevantis Endpoint Security 12 for Linux", "12.6.0.118"}));
}

TEST(MessageFormatTest, ReplacesPlaceholdersAndKeepsWhatItCannotFill) {
  const struct {
    const char* text;
    std::vector<std::string> arguments;
    const char* expected;
    const char* why;
  } cases[] = {
      {"%1$s and %2$s", {"a", "b"}, "a and b", "in order"},
      {"%2$s before %1$s", {"a", "b"}, "b before a", "translations reorder arguments"},
      {"%1$s%1$s", {"ab"}, "abab", "an argument used twice"},
      {"%10$s", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"}, "ten", "two-digit position"},
      {"100%%", {}, "100%", "escaped percent sign"},
      {"%%1$s", {"a"}, "%1$s", "an escaped percent does not start a placeholder"},
      {"%1$x", {"255"}, "ff", "hexadecimal"},
      {"%1$x", {"0"}, "0", "zero"},
      {"%1$x", {"18446744073709551615"}, "ffffffffffffffff", "largest 64-bit value"},
      {"%1$x", {"18446744073709551616"}, "18446744073709551616", "too large: unchanged"},
      {"%1$x", {"-1"}, "-1", "negative: unchanged"},
      {"%1$x", {" 12"}, " 12", "leading space: unchanged"},
      {"%1$x", {"12abc"}, "12abc", "trailing garbage: unchanged"},
      {"%1$x", {""}, "", "empty: unchanged"},
      {"%3$s", {"a", "b"}, "%3$s", "missing argument: placeholder kept"},
      {"%1$s %2$x", {"a"}, "a %2$x", "missing hexadecimal argument: placeholder kept"},
      {"%0$s", {"a"}, "%0$s", "positions count from 1"},
      {"%99999999999999999999999$s", {"a"}, "%99999999999999999999999$s", "position overflows"},
      {"%1$d", {"a"}, "%1$d", "unknown conversion copied"},
      {"%s", {"a"}, "%s", "non-positional placeholder copied"},
      {"50%", {}, "50%", "percent at the end"},
      {"%1", {"a"}, "%1", "placeholder cut short"},
      {"%1$", {"a"}, "%1$", "placeholder cut short before its conversion"},
      {"%1$s", {"%2$s", "b"}, "%2$s", "arguments are not scanned again"},
      {"", {"a"}, "", "empty text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.expected, FormatMessage(c.text, c.arguments));
  }
}

}  // namespace
}  // namespace sov::localization
