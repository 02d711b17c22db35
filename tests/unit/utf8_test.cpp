#include "sov_common/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace sov::tools {
namespace {

TEST(Utf8Test, WellFormedSequencesOnly) {
  const struct {
    std::string text;
    bool valid;
    const char* why;
  } cases[] = {
      {"", true, "empty"},
      {"plain ascii\t\n", true, "ASCII with controls"},
      {"Gr\xC3\xBC\xC3\x9F"
       "e \xE2\x82\xAC \xF0\x9F\x98\x80",
       true, "two, three and four bytes"},
      {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", true, "U+FFFF and U+10FFFF"},
      {"\xC3", false, "truncated sequence"},
      {"\xE2\x82", false, "truncated sequence"},
      {"\x80", false, "stray continuation byte"},
      {"\xC3\x28", false, "lead byte without continuation"},
      {"\xC0\xAF", false, "overlong slash"},
      {"\xE0\x80\xAF", false, "overlong in three bytes"},
      {"\xF0\x80\x80\xAF", false, "overlong in four bytes"},
      {"\xED\xA0\x80", false, "surrogate U+D800"},
      {"\xF4\x90\x80\x80", false, "above U+10FFFF"},
      {"\xF8\x88\x80\x80\x80", false, "five-byte form"},
      {"\xFF", false, "never in UTF-8"},
      {"latin1 caf\xE9", false, "Latin-1 text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.valid, IsValidUtf8(c.text));
  }
}

TEST(Utf8Test, DecodesTheFirstCodePoint) {
  const auto euro = DecodeUtf8("\xE2\x82\xAC rest");
  ASSERT_TRUE(euro);
  EXPECT_EQ(0x20ACu, static_cast<unsigned>(euro->value));
  EXPECT_EQ(3u, euro->length);
  EXPECT_FALSE(DecodeUtf8(""));
}

}  // namespace
}  // namespace sov::tools
