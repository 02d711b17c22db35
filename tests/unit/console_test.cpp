#include "supervisor/common/console.h"

#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace sov::supervisor {
namespace {

class ColorsEnvironment {
 public:
  explicit ColorsEnvironment(const char* disabled) {
    if (disabled) {
      setenv("ANSI_COLORS_DISABLED", disabled, 1);
    } else {
      unsetenv("ANSI_COLORS_DISABLED");
    }
  }
  ~ColorsEnvironment() { unsetenv("ANSI_COLORS_DISABLED"); }
};

TEST(ConsoleMarkupTest, TagsBecomeEscapes) {
  ColorsEnvironment colors(nullptr);
  EXPECT_EQ(
      "\x1b[0;31mr\x1b[0m \x1b[0;32mg\x1b[0m \x1b[0;33my\x1b[0m \x1b[4mu\x1b[0m \x1b[1mb\x1b[0m",
      ConvertMarkup("<RED>r</RED> <GREEN>g</GREEN> <YELLOW>y</YELLOW> <U>u</U> <B>b</B>"));
  EXPECT_EQ("<r> </X> <red>", ConvertMarkup("<r> </X> <red>"));
}

TEST(ConsoleMarkupTest, SetButEmptyVariableRemovesEveryTag) {
  ColorsEnvironment colors("");
  EXPECT_EQ("Error: it failed", ConvertMarkup("<RED>Error: <B>it</B> failed</RED>"));
}

TEST(ConsoleWrapTest, BreaksWhenTheRunningLengthPlusTheWordExceedsSeventyFour) {
  std::string sixtyNine;  // seven words of nine: 7 * 9 + 6 blanks
  for (int i = 0; i < 7; ++i) {
    sixtyNine += (i == 0 ? "" : " ") + std::string("abcdefghi");
  }
  const std::string longWord(80, 'x');
  const std::string red = "\x1b[0;31m";
  const struct {
    std::string input;
    std::string expected;
    const char* why;
  } cases[] = {
      {sixtyNine + " wxyz", sixtyNine + " wxyz\n", "74 columns stay on one line"},
      {sixtyNine + " vwxyz", sixtyNine + " vwxyz\n", "the blank before a word is not counted"},
      {sixtyNine + " uvwxyz", sixtyNine + "\nuvwxyz\n", "69 + 6 exceeds 74: break"},
      {"a " + longWord + " b", "a\n" + longWord + "\nb\n", "a long word stands alone"},
      {red + sixtyNine + " wxyz\x1b[0m", red + sixtyNine + " wxyz\x1b[0m\n",
       "escapes are invisible"},
      {"one\ntwo\n", "one\ntwo\n", "each input line ends once"},
      {"a  b", "a  b\n", "an empty word adds one blank"},
      {"  a", "a\n", "blanks at the start of a line vanish"},
      {"", "", "nothing in, nothing out"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.expected, WrapWords(c.input));
  }
}

TEST(ConsolePrintTest, PrintLineTracesTheRawTextAndWritesConvertedLines) {
  ColorsEnvironment colors(nullptr);
  auto tracer = testing::MakeRecordingTracer();
  std::ostringstream out;
  PrintLine(tracer.get(), out, 500, "\n<YELLOW>Warning: x</YELLOW>\n");
  EXPECT_EQ("\n\x1b[0;33mWarning: x\x1b[0m\n\n", out.str());
  ASSERT_EQ(1u, tracer->Lines().size());
  EXPECT_EQ(500u, tracer->Lines()[0].level);
  EXPECT_EQ("> \n<YELLOW>Warning: x</YELLOW>\n", tracer->Lines()[0].text);
}

TEST(ConsolePrintTest, PrintLineSkipsTheTraceAboveTheTracersLevel) {
  auto tracer = testing::MakeRecordingTracer(300);
  std::ostringstream out;
  PrintLine(tracer.get(), out, 500, "text");
  EXPECT_TRUE(tracer->Lines().empty());
  EXPECT_EQ("text\n\n", out.str());
}

}  // namespace
}  // namespace sov::supervisor
