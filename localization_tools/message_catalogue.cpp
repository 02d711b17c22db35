// The built-in English catalogue. The table is constant data checked at compile time (numbers
// in 1..1400, strictly ascending so each is unique, keys identifiers, texts non-empty); the
// hash map is built from it on first use because start-up cost counts for this program.
#include "localization_tools/message_catalogue.h"

#include "localization_tools/translator.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace sov::localization {
namespace {

struct Row {
  std::uint32_t number;
  const char* key;
  const char* text;
};

// Keep the rows in ascending order of number; localization_tools/loc/messages.en.txt holds
// the same texts for translators and must be changed with this table.
constexpr Row kRows[] = {
    {40, "AppInstallFailed", "Error installing the application"},
    {41, "AppInstallSucceeded", "The application has been installed successfully"},
    {43, "AppInfoUpdateInstalledNeedReboot",
     "An application update was installed. Restart the operating system."},
    {44, "AppInfoUpdateInstalledNeedRestart",
     "An application update was installed. Restart the application."},
    {45, "AppInfoUpdateInstalledNeedRestart2",
     "Update version %2$s of the '%1$s' application was installed. Restart the application."},
    {46, "AppInfoUpdateInstalledAutoRestart",
     "An application update or cryptossl module update was installed. The application will "
     "restart automatically."},
    {50, "AppKernelModuleBuildFailed", "Error building the kernel module of the application"},
    {51, "AppPatchInstallError", "Error installing the application patch"},
    {52, "AppPatchRollbackError", "Error rolling back the application patch"},
    {53, "AppModuleIntegrityCheckFailed", "Integrity check of the application modules failed"},
    {54, "AppModuleIntegrityCheckOk",
     "Integrity check of the application modules completed successfully"},
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
     "Labels of the executable files of the application were not assigned. If you have SELinux "
     "installed, manually configure SELinux to work with the application."},
    // The ellipsis is one character, U+2026, spelled as its UTF-8 bytes.
    {1351, "SetupSeLinuxCompileModule", "Compiling module '%1$s'\xE2\x80\xA6"},
    {1352, "SetupSeLinuxInstallModule", "Installing module '%1$s'\xE2\x80\xA6"},
    {1353, "SetupSeLinuxEnableModule", "Enabling module '%1$s'\xE2\x80\xA6"},
    {1354, "SetupSeLinuxNeedUtils",
     "SELinux tools not found: %1$s. The application may not work correctly."},
};

constexpr std::uint32_t kHighestNumber = 1400;

constexpr bool IsIdentifier(const char* key) {
  if (!(key[0] >= 'A' && key[0] <= 'Z')) {
    return false;
  }
  for (const char* c = key; *c != '\0'; ++c) {
    const bool alnum =
        (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9');
    if (!alnum) {
      return false;
    }
  }
  return true;
}

constexpr bool TableIsSound() {
  std::uint32_t previous = 0;
  for (const Row& row : kRows) {
    if (row.number <= previous || row.number > kHighestNumber || !IsIdentifier(row.key) ||
        row.text[0] == '\0') {
      return false;
    }
    previous = row.number;
  }
  return true;
}
static_assert(TableIsSound(),
              "message table: numbers must ascend within 1..1400, keys be identifiers, texts "
              "non-empty");

}  // namespace

const MessageCatalogue& BuiltinCatalogue() {
  static const MessageCatalogue catalogue = [] {
    MessageCatalogue built;
    built.reserve(std::size(kRows));
    for (const Row& row : kRows) {
      built.emplace(row.number, MessageEntry{row.number, row.key, {row.text}});
    }
    return built;
  }();
  return catalogue;
}

std::string LookupMessage(std::uint32_t number, std::size_t plural) noexcept {
  const MessageCatalogue& catalogue = BuiltinCatalogue();
  const auto entry = catalogue.find(number);
  if (entry == catalogue.end()) {
    return std::string(kMessageNotFound);
  }
  if (auto localized = Translator::Instance().Lookup(number, plural)) {
    return std::move(*localized);
  }
  const auto& forms = entry->second.forms;
  return forms[std::min(plural, forms.size() - 1)];
}

std::string MessageKey(std::uint32_t number) {
  const MessageCatalogue& catalogue = BuiltinCatalogue();
  const auto entry = catalogue.find(number);
  return entry == catalogue.end() ? std::string() : entry->second.key;
}

}  // namespace sov::localization
