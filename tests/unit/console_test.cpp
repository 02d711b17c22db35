#include "supervisor/common/console.h"

#include "supervisor/common/traceable.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
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

// What a child process writes with PrintLine to its standard output and error, both the
// file `output`, when JOURNAL_STREAM holds `journalStream` ("" for the file's own device
// and inode, nullptr for no variable).
std::string PrintedToStandardStreams(const testing::Path& output, const char* journalStream) {
  const int status = testing::RunInChild([&] {
    const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    struct stat file {};
    if (fd < 0 || fstat(fd, &file) != 0 || dup2(fd, STDOUT_FILENO) < 0 ||
        dup2(fd, STDERR_FILENO) < 0) {
      return 1;
    }
    if (journalStream == nullptr) {
      unsetenv("JOURNAL_STREAM");
    } else if (*journalStream == '\0') {
      const std::string named = std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino);
      setenv("JOURNAL_STREAM", named.c_str(), 1);
    } else {
      setenv("JOURNAL_STREAM", journalStream, 1);
    }
    unsetenv("ANSI_COLORS_DISABLED");
    PrintLine(nullptr, std::cout, kTraceWarning,
              "\n<YELLOW>Warning: the upgrade to version 12.6.0.3 failed to start and was rolled "
              "back; version 12.6.0.2 runs.</YELLOW>\n");
    PrintLine(nullptr, std::cerr, kTraceError, "\n<RED>Error: first line\n  second line</RED>\n");
    PrintLine(nullptr, std::cout, kTraceImportant, "\n<B>Restart the system.</B>\n");
    PrintLine(nullptr, std::cout, kTraceDebug, "\n");
    return 0;
  });
  EXPECT_EQ(0, status);
  return testing::ReadFile(output);
}

// Under systemd the standard streams are the journal's: each message is one entry at its
// own priority, without the escapes and line breaks meant for a terminal. Any other
// stream, a pipe to the package manager above all, gets the console form.
TEST(ConsoleJournalTest, MessageToTheJournalStreamIsOneEntryAtItsPriority) {
  testing::TempDir dir;
  const std::string console =
      "\n\x1b[0;33mWarning: the upgrade to version 12.6.0.3 failed to start and was rolled\n"
      "back; version 12.6.0.2 runs.\x1b[0m\n\n"
      "\n\x1b[0;31mError: first line\nsecond line\x1b[0m\n\n"
      "\n\x1b[1mRestart the system.\x1b[0m\n\n"
      "\n\n";
  const struct {
    const char* journalStream;
    std::string expected;
    const char* why;
  } cases[] = {
      {"",
       "<4>Warning: the upgrade to version 12.6.0.3 failed to start and was rolled back; "
       "version 12.6.0.2 runs.\n"
       "<3>Error: first line second line\n"
       "<5>Restart the system.\n",
       "the journal's stream"},
      {nullptr, console, "no journal"},
      {"1:1", console, "another stream: a child's, or one the output was redirected from"},
      {"12", console, "malformed"},
      {"-1:-1", console, "malformed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.expected, PrintedToStandardStreams(dir / "output", c.journalStream));
  }
}

}  // namespace
}  // namespace sov::supervisor
