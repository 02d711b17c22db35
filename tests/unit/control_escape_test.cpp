#include "sov_common/control_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace sov::tools {
namespace {

TEST(ControlEscapeTest, EscapesWhatCouldBreakALineOrDriveATerminal) {
  const struct {
    std::string text;
    const char* escaped;
    const char* why;
  } cases[] = {
      {"--install tag-1 --package-type deb", "--install tag-1 --package-type deb", "plain"},
      {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC", "UTF-8 kept"},
      {"deb\n[General]", "deb\\n[General]", "line break"},
      {"a\r\tb", "a\\r\\tb", "carriage return and tab"},
      {"\a\b\v\f", "\\a\\b\\v\\f", "the other named escapes"},
      {"\x1b[31mred", "\\x1b[31mred", "terminal colour sequence"},
      {std::string("nul\0byte", 8), "nul\\x00byte", "NUL"},
      {"\x7f", "\\x7f", "DEL"},
      {"\xC2\x9B"
       "2J",
       "\\xc2\\x9b2J", "C1 control (CSI) in UTF-8"},
      {"\xFF\xC3", "\\xff\\xc3", "bytes that are no UTF-8"},
      {"\xC3\xA9\xC3", "\xC3\xA9\\xc3", "a valid sequence then a truncated one"},
      {"C:\\new", "C:\\\\new", "a backslash is doubled, so it never reads as an escape"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.escaped, EscapeControlCharacters(c.text));
  }
}

}  // namespace
}  // namespace sov::tools
