// Localized message files and locale names as the environment hands them over. The whole
// input is a message file; its first line is also tried as a locale name. A load that fails
// must leave the language loaded before in place, and no locale name may reach a file
// other than messages.<language>.txt.
#include "fuzz/fuzz_support.h"
#include "localization_tools/translator.h"

#include <boost/regex.hpp>

#include <string>

namespace {
namespace fs = boost::filesystem;
using sov::fuzz::Broken;
using sov::fuzz::Visible;
using sov::localization::Translator;

constexpr std::uint32_t kNumber = 1;
constexpr const char* kBaseText = "base text";

// A translator with a small French catalogue loaded.
void LoadBase(Translator& translator, const fs::path& directory) {
  std::string reason;
  if (translator.Load(directory, "fr", reason) != ivo::result::kOk) {
    Broken("the base catalogue does not load: " + reason);
  }
}

void CheckBaseKept(const Translator& translator, const std::string& after) {
  if (translator.Language() != "fr" || translator.Lookup(kNumber, 0) != kBaseText) {
    Broken(after + " did not keep the language loaded before (now \"" + translator.Language() +
           "\")");
  }
}

void CheckCatalogue(const fs::path& directory, std::string_view content) {
  Translator translator;
  LoadBase(translator, directory);
  std::string reason;
  const ivo::ResultCode code = translator.Load(directory, "de_DE.UTF-8", reason);
  if (code == ivo::result::kOk) {
    if (!reason.empty() || translator.Language() != "de") {
      Broken("a successful load left the reason \"" + Visible(reason) + "\" and the language \"" +
             translator.Language() + "\"");
    }
    return;
  }
  if (code != ivo::result::kBadFormat) {
    Broken("a readable message file gave the result code " + std::to_string(code) + ": " +
           Visible(reason));
  }
  const std::string file = (directory / "messages.de.txt").string();
  if (reason.rfind(file + ":", 0) != 0) {
    Broken("the reason \"" + Visible(reason) + "\" does not name the file and line");
  }
  CheckBaseKept(translator, "a rejected file \"" + Visible(content, 200) + "\"");
}

void CheckLocaleName(const fs::path& directory, const std::string& localeName) {
  static const boost::regex kLanguage("[A-Za-z]{2,3}(_[A-Za-z0-9]{2,3})?");
  Translator translator;
  LoadBase(translator, directory);
  std::string reason;
  const ivo::ResultCode code = translator.Load(directory, localeName, reason);
  if (code == ivo::result::kOk) {
    const std::string language = translator.Language();
    if (language != "en" && !boost::regex_match(language, kLanguage)) {
      Broken("the locale \"" + Visible(localeName) + "\" loaded the language \"" +
             Visible(language) + "\"");
    }
    return;
  }
  if (code != ivo::result::kInvalidArgument && code != ivo::result::kNotFound &&
      code != ivo::result::kBadFormat) {
    Broken("the locale \"" + Visible(localeName) + "\" gave the result code " +
           std::to_string(code) + ": " + Visible(reason));
  }
  CheckBaseKept(translator, "the locale \"" + Visible(localeName) + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path& directory = sov::fuzz::ScratchDirectory();
  static const bool baseWritten = [&directory] {
    sov::fuzz::WriteFile(directory / "messages.fr.txt", std::to_string(kNumber) + "\t" + kBaseText);
    return true;
  }();
  (void)baseWritten;

  const std::string_view content = sov::fuzz::AsText(data, size);
  sov::fuzz::WriteFile(directory / "messages.de.txt", content);
  CheckCatalogue(directory, content);
  CheckLocaleName(directory, std::string(content.substr(0, content.find('\n'))));
  return 0;
}
