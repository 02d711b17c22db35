#include "localization_tools/translator.h"

#include "localization_tools/message_catalogue.h"
#include "tests/unit/test_support.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstddef>
#include <fstream>
#include <limits>
#include <string>

#ifndef SOV_MESSAGES_DIR
#error "SOV_MESSAGES_DIR must name localization_tools/loc of the source tree"
#endif

namespace sov::localization {
namespace {

using testing::Path;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kEnglish40 = "Error installing the application";
constexpr const char* kEnglish41 = "The application has been installed successfully";

// A directory of message files and the process-wide translator, back in English after
// each case.
class TranslatorTest : public ::testing::Test {
 protected:
  void SetUp() override { translator_.Reset(); }
  void TearDown() override { translator_.Reset(); }

  void Write(const std::string& language, const std::string& content) {
    WriteFile(dir_ / ("messages." + language + ".txt"), content);
  }
  ivo::ResultCode Load(const std::string& locale) {
    reason_ = "left from before";
    return translator_.Load(dir_.path(), locale, reason_);
  }
  // Loads French, the language that a failed load must leave in place.
  void LoadFrench() {
    Write("fr", "40\tErreur d'installation\n");
    ASSERT_EQ(ivo::result::kOk, Load("fr_FR.UTF-8")) << reason_;
  }
  void ExpectFrenchKept() {
    EXPECT_EQ("fr", translator_.Language());
    EXPECT_EQ("Erreur d'installation", LookupMessage(40));
    EXPECT_EQ(kEnglish41, LookupMessage(41));
  }

  TempDir dir_;
  Translator& translator_ = Translator::Instance();
  std::string reason_;
};

TEST_F(TranslatorTest, StartsInEnglish) {
  EXPECT_EQ("en", translator_.Language());
  EXPECT_FALSE(translator_.Lookup(40, 0).has_value());
  EXPECT_EQ(kEnglish40, LookupMessage(40));
}

TEST_F(TranslatorTest, LoadedTextWinsAndMissingMessageFallsBackToEnglish) {
  Write("de",
        "40\tFehler bei der Installation der Anwendung\n"
        "57\tVersion %2$s von '%1$s' wurde installiert\n"
        "225\tEine Nummer, die das Programm nicht kennt\n");
  ASSERT_EQ(ivo::result::kOk, Load("de_DE.UTF-8"));
  EXPECT_EQ("", reason_);
  EXPECT_EQ("de", translator_.Language());
  EXPECT_EQ("Fehler bei der Installation der Anwendung", LookupMessage(40));
  EXPECT_EQ("Version %2$s von '%1$s' wurde installiert", LookupMessage(57));
  EXPECT_EQ(kEnglish41, LookupMessage(41));
  EXPECT_EQ(kMessageNotFound, LookupMessage(225)) << "a language file cannot add messages";

  translator_.Reset();
  EXPECT_EQ("en", translator_.Language());
  EXPECT_EQ(kEnglish40, LookupMessage(40));
}

TEST_F(TranslatorTest, LocaleNamePicksTheMostSpecificFile) {
  Write("de_DE", "40\tde_DE\n");
  Write("de", "40\tde\n");
  const struct {
    const char* locale;
    const char* language;
    const char* why;
  } cases[] = {
      {"de_DE.UTF-8", "de_DE", "territory file first"},
      {"de_DE", "de_DE", "no codeset"},
      {"de_DE.UTF-8@euro", "de_DE", "modifier dropped"},
      {"de_DE@euro", "de_DE", "modifier without codeset"},
      {"de_AT.UTF-8", "de", "no file for the territory: the language's"},
      {"de.UTF-8", "de", "language alone"},
      {"de", "de", "bare language"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    translator_.Reset();
    ASSERT_EQ(ivo::result::kOk, Load(c.locale)) << reason_;
    EXPECT_EQ(c.language, translator_.Language());
    EXPECT_EQ(c.language, LookupMessage(40));
  }
}

TEST_F(TranslatorTest, EnglishLocaleNamesDropTheLoadedLanguage) {
  for (const char* locale : {"C", "POSIX", "", "C.UTF-8"}) {
    SCOPED_TRACE(locale);
    LoadFrench();
    // No file is needed for them, not even the directory.
    reason_ = "left from before";
    EXPECT_EQ(ivo::result::kOk, translator_.Load(dir_ / "missing", locale, reason_));
    EXPECT_EQ("", reason_);
    EXPECT_EQ("en", translator_.Language());
    EXPECT_EQ(kEnglish40, LookupMessage(40));
  }
}

TEST_F(TranslatorTest, ReadsEscapesPluralFormsCommentsAndCrlf) {
  Write("de",
        "\xEF\xBB\xBF# Kommentar\r\n"
        "\r\n"
        "# 41\tnot a message: comment lines are skipped whole\n"
        "40\tEine\\tZeile\\nzwei \\\\n\tPlural eins\tPlural zwei\r\n"
        "1143\tBrevantis Endpoint Security %1$s f\xC3\xBCr Linux");  // no final newline
  ASSERT_EQ(ivo::result::kOk, Load("de")) << reason_;
  EXPECT_EQ("Eine\tZeile\nzwei \\n", LookupMessage(40, 0));
  EXPECT_EQ("Plural eins", LookupMessage(40, 1));
  EXPECT_EQ("Plural zwei", LookupMessage(40, 2));
  EXPECT_EQ("Plural zwei", LookupMessage(40, std::numeric_limits<std::size_t>::max()));
  EXPECT_EQ("Brevantis Endpoint Security %1$s f\xC3\xBCr Linux", LookupMessage(1143));
  EXPECT_EQ(kEnglish41, LookupMessage(41));
}

TEST_F(TranslatorTest, MissingFileNamesEveryFileTriedAndKeepsTheLanguage) {
  LoadFrench();
  EXPECT_EQ(ivo::result::kNotFound, Load("de_DE.UTF-8"));
  EXPECT_EQ("no message file for locale \"de_DE.UTF-8\": tried " +
                (dir_ / "messages.de_DE.txt").string() + ", " + (dir_ / "messages.de.txt").string(),
            reason_);
  ExpectFrenchKept();

  EXPECT_EQ(ivo::result::kNotFound, Load("it"));
  EXPECT_EQ("no message file for locale \"it\": tried " + (dir_ / "messages.it.txt").string(),
            reason_);
  ExpectFrenchKept();
}

TEST_F(TranslatorTest, MalformedFileIsRejectedWholeWithFileAndLine) {
  const struct {
    const char* content;
    const char* where;  // ":<line>: <cause>"
  } cases[] = {
      {"40\tgut\n41 ohne Tabulator\n", ":2: no tab between the message number and its text"},
      {"x40\tText\n", ":1: bad message number \"x40\""},
      {" 40\tText\n", ":1: bad message number \" 40\""},
      {"+40\tText\n", ":1: bad message number \"+40\""},
      {"\tText\n", ":1: bad message number \"\""},
      {"0\tText\n", ":1: bad message number \"0\""},
      {"4294967296\tText\n", ":1: bad message number \"4294967296\""},
      {"40\n", ":1: no tab between the message number and its text"},
      {"40\t\n", ":1: empty text in form 1"},
      {"40\tText\t\n", ":1: empty text in form 2"},
      {"40\tText\\q\n", ":1: unknown escape \"\\q\" in form 1"},
      {"40\tText\\\n", ":1: backslash at the end of the text in form 1"},
      {"40\tText\\\xC3\xBC\n", ":1: unknown escape after a backslash in form 1"},
      {"# x\n40\teins\n\n40\tzwei\n", ":4: message 40 is already defined at line 2"},
      {"40\tLatin-1 \xFC\n", ":1: not UTF-8 text"},
      {"40\t\xC0\xAF\n", ":1: not UTF-8 text"},          // overlong "/"
      {"40\t\xED\xA0\x80\n", ":1: not UTF-8 text"},      // surrogate
      {"40\t\xF4\x90\x80\x80\n", ":1: not UTF-8 text"},  // above U+10FFFF
      {"40\t\xE2\x80\n", ":1: not UTF-8 text"},          // cut short
  };
  LoadFrench();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    Write("de", c.content);
    EXPECT_EQ(ivo::result::kBadFormat, Load("de_DE.UTF-8"));
    EXPECT_EQ((dir_ / "messages.de.txt").string() + c.where, reason_);
    ExpectFrenchKept();
  }
}

TEST_F(TranslatorTest, MalformedTerritoryFileDoesNotFallBackToTheLanguage) {
  Write("de_DE", "40\n");
  Write("de", "40\tde\n");
  EXPECT_EQ(ivo::result::kBadFormat, Load("de_DE.UTF-8"));
  EXPECT_EQ(
      (dir_ / "messages.de_DE.txt").string() + ":1: no tab between the message number and its text",
      reason_);
  EXPECT_EQ("en", translator_.Language());
}

TEST_F(TranslatorTest, LocaleNameThatCouldNameAnotherFileIsRefused) {
  // A file the traversal would reach: it must not be read.
  WriteFile(dir_ / "messages.de" / "x.txt", "40\tTraversal\n");
  const char* cases[] = {
      "../de", ".UTF-8", "@euro",   "de/../x", "de_DE/x", "d",
      "deut",  "de_D",   "de_DEUT", "de-DE",   "de_DE_x", "1e",
  };
  LoadFrench();
  for (const char* locale : cases) {
    SCOPED_TRACE(locale);
    EXPECT_EQ(ivo::result::kInvalidArgument, Load(locale));
    EXPECT_EQ(std::string("bad locale name \"") + locale + "\"", reason_);
    ExpectFrenchKept();
  }
}

TEST_F(TranslatorTest, FileThatIsNoRegularFileIsAReadError) {
  LoadFrench();
  boost::filesystem::create_directory(dir_ / "messages.de_DE.txt");
  ASSERT_EQ(0, mkfifo((dir_ / "messages.it.txt").c_str(), 0600));
  for (const char* language : {"de_DE", "it"}) {
    SCOPED_TRACE(language);
    // The directory must not be skipped as missing, nor the FIFO hang the load.
    EXPECT_EQ(ivo::result::kSystemError, Load(language));
    EXPECT_EQ("cannot read " + (dir_ / ("messages." + std::string(language) + ".txt")).string() +
                  ": not a regular file",
              reason_);
    ExpectFrenchKept();
  }
}

// The shipped English file is what translators start from: it must hold exactly the
// built-in texts, each under a comment naming its key.
TEST_F(TranslatorTest, ShippedEnglishFileAgreesWithTheBuiltInTable) {
  const Path directory = SOV_MESSAGES_DIR;
  ASSERT_EQ(ivo::result::kOk, translator_.Load(directory, "en_US.UTF-8", reason_)) << reason_;
  EXPECT_EQ("en", translator_.Language());
  for (const auto& [number, entry] : BuiltinCatalogue()) {
    SCOPED_TRACE(number);
    ASSERT_TRUE(translator_.Lookup(number, 0).has_value()) << "missing from the file";
    EXPECT_EQ(entry.forms.front(), *translator_.Lookup(number, 0));
    EXPECT_EQ(entry.forms.back(),
              *translator_.Lookup(number, std::numeric_limits<std::size_t>::max()))
        << "the file has forms the table lacks";
  }

  std::ifstream in((directory / "messages.en.txt").string());
  std::string comment;
  std::size_t messages = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') {
      comment = line;
      continue;
    }
    ++messages;
    const std::uint32_t number = std::stoul(line.substr(0, line.find('\t')));
    SCOPED_TRACE(line);
    EXPECT_EQ(1u, BuiltinCatalogue().count(number)) << "a number the program does not know";
    EXPECT_EQ("# " + MessageKey(number), comment);
  }
  EXPECT_EQ(BuiltinCatalogue().size(), messages);
}

}  // namespace
}  // namespace sov::localization
