#include "supervisor/launcher/launcher_arguments.h"

#include <boost/program_options/errors.hpp>
#include <gtest/gtest.h>

#include <sstream>

namespace sov::supervisor {
namespace {

LauncherArguments Parse(std::vector<std::string> words) {
  words.insert(words.begin(), "launcher");
  return LauncherArguments(words);
}

TEST(LauncherArgumentsTest, NoArgumentsMeansStart) {
  const auto arguments = Parse({});
  EXPECT_EQ("--start", arguments.ArgumentLine());
  EXPECT_FALSE(arguments.IsStatus());
  EXPECT_FALSE(arguments.GetInstall());
  EXPECT_EQ(LauncherArguments::kZtnUnchanged, arguments.GetZtnRequest());
}

TEST(LauncherArgumentsTest, QueriesSeeTheirOptions) {
  const auto arguments =
      Parse({"--install", "tag1", "--package-type", "deb", "--async-restart", "-h", "--status",
             "--stop", "--restart", "--export", "--uninstall", "--disable-reload-connectors"});
  EXPECT_TRUE(arguments.IsHelp());
  EXPECT_TRUE(arguments.IsStatus());
  EXPECT_TRUE(arguments.IsStop());
  EXPECT_TRUE(arguments.IsRestart());
  EXPECT_TRUE(arguments.IsExport());
  EXPECT_TRUE(arguments.IsUninstall());
  EXPECT_TRUE(arguments.IsAsyncRestart());
  EXPECT_TRUE(arguments.IsDisableReloadConnectors());
  EXPECT_EQ("tag1", arguments.GetInstall().value());
  EXPECT_EQ("deb", arguments.GetPackageType().value());
  EXPECT_EQ(
      "--install tag1 --package-type deb --async-restart -h --status --stop --restart --export "
      "--uninstall --disable-reload-connectors",
      arguments.ArgumentLine());
}

// The common command lines, only switches without a value, are read without the option
// table; they must read as the option library reads them, repeats refused alike.
TEST(LauncherArgumentsTest, PlainSwitchesReadAsTheOptionLibraryReadsThem) {
  const struct {
    std::vector<std::string> words;
    const char* set;  // one letter a query that holds: hStsuRaeD
  } cases[] = {
      {{"--status"}, "S"},
      {{"--stop", "--status"}, "tS"},
      {{"--help"}, "h"},
      {{"--start", "--async-restart", "--disable-reload-connectors"}, "aD"},
      {{"--restart", "--export", "--uninstall"}, "Reu"},
      // Mixed with an option that takes a value: the library's parse.
      {{"--status", "--package-type", "deb"}, "S"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words.front() + " ... (" + c.set + ")");
    const auto arguments = Parse(c.words);
    const std::string set = c.set;
    const auto has = [&](char query) { return set.find(query) != std::string::npos; };
    EXPECT_EQ(has('h'), arguments.IsHelp());
    EXPECT_EQ(has('S'), arguments.IsStatus());
    EXPECT_EQ(has('t'), arguments.IsStop());
    EXPECT_EQ(has('R'), arguments.IsRestart());
    EXPECT_EQ(has('e'), arguments.IsExport());
    EXPECT_EQ(has('u'), arguments.IsUninstall());
    EXPECT_EQ(has('a'), arguments.IsAsyncRestart());
    EXPECT_EQ(has('D'), arguments.IsDisableReloadConnectors());
    EXPECT_FALSE(arguments.GetInstall());
    EXPECT_EQ(LauncherArguments::kZtnUnchanged, arguments.GetZtnRequest());
  }
  std::ostringstream help;
  help << Parse({}).Description();
  try {
    Parse({"--status", "--status"});
    FAIL() << "no exception";
  } catch (const boost::program_options::error& error) {
    EXPECT_EQ("option '--status' cannot be specified more than once\n\n" + help.str(),
              error.what());
  }
}

TEST(LauncherArgumentsTest, ZtnSwitches) {
  const struct {
    std::vector<std::string> words;
    std::int32_t request;
  } cases[] = {
      {{"--ztn-on"}, LauncherArguments::kZtnOn},
      {{"--ztn-off"}, LauncherArguments::kZtnOff},
      // Both notifiers run in the variables map's name order: off first, then on.
      {{"--ztn-on", "--ztn-off"}, LauncherArguments::kZtnOn},
      {{"--ztn-off", "--ztn-on"}, LauncherArguments::kZtnOn},
      {{"--start"}, LauncherArguments::kZtnUnchanged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words.front());
    EXPECT_EQ(c.request, Parse(c.words).GetZtnRequest());
  }
}

TEST(LauncherArgumentsTest, ParseErrorsCarryTheParserTextAndTheHelp) {
  const struct {
    std::vector<std::string> words;
    const char* parserText;
  } cases[] = {
      {{"--bogus"}, "unrecognised option '--bogus'"},
      {{"--install"}, "the required argument for option '--install' is missing"},
      {{"--package-type"}, "the required argument for option '--package-type' is missing"},
      {{"--status=1"}, "option '--status' does not take any arguments"},
      // A word without dashes would otherwise be dropped and the product started.
      {{"stop"}, "unrecognised option 'stop'"},
      {{"--status", "uninstall"}, "unrecognised option 'uninstall'"},
      {{"--install", "tag", "extra"}, "unrecognised option 'extra'"},
      {{"--", "--status"}, "unrecognised option '--status'"},
      // Only whole names: a prefix would pick uninstall, restart or one of the ztn switches.
      {{"--u"}, "unrecognised option '--u'"},
      {{"--r"}, "unrecognised option '--r'"},
      {{"--ztn"}, "unrecognised option '--ztn'"},
      {{"--stat"}, "unrecognised option '--stat'"},
      // The quoted word cannot break the message's line or carry a terminal control.
      {{"--x\n2026.01.01 ERR forged"}, "unrecognised option '--x\\n2026.01.01 ERR forged'"},
      {{"\x1b[2J"}, "unrecognised option '\\x1b[2J'"},
  };
  std::ostringstream help;
  help << Parse({}).Description();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parserText);
    try {
      Parse(c.words);
      FAIL() << "no exception";
    } catch (const boost::program_options::error& error) {
      EXPECT_EQ(std::string(c.parserText) + "\n\n" + help.str(), error.what());
    }
  }
}

TEST(LauncherArgumentsTest, HelpLayout) {
  std::ostringstream help;
  help << Parse({}).Description();
  EXPECT_EQ(
      "Options:\n"
      "  -h [ --help ]                Produce help message\n"
      "  --start                      Start product\n"
      "  --stop                       Stop product\n"
      "  --status                     Product status\n"
      "  --install arg                Install or upgrade product\n"
      "  --uninstall                  Uninstall product\n"
      "  --package-type arg           Package type\n"
      "  --ztn-on                     Enable ZTN\n"
      "  --ztn-off                    Disable ZTN\n"
      "  --restart                    Synchronous product restart\n"
      "  --async-restart              Asynchronous product restart\n"
      "  --export                     Export settings\n"
      "  --disable-reload-connectors  Disable reload connectors\n",
      help.str());
}

}  // namespace
}  // namespace sov::supervisor
