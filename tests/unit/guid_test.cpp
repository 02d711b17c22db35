#include "supervisor/common/system/guid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace sov::supervisor {
namespace {

TEST(GuidTest, AcceptsTheTwoTextFormsOnly) {
  const struct {
    const char* text;
    const char* parsed;  // nullptr: "Bad guid syntax"
    const char* why;
  } cases[] = {
      {"0123ABCD-4567-89EF-0A1B-2C3D4E5F6789", "0123ABCD-4567-89EF-0A1B-2C3D4E5F6789", "plain"},
      {"{0123ABCD-4567-89EF-0A1B-2C3D4E5F6789}", "0123ABCD-4567-89EF-0A1B-2C3D4E5F6789", "braces"},
      {"0123abcd-4567-89ef-0a1b-2c3d4e5f6789", "0123ABCD-4567-89EF-0A1B-2C3D4E5F6789",
       "lower case"},
      {"0123ABCD-4567-89EF-0A1B-2C3D4E5F678", nullptr, "35 characters"},
      {"0123ABCD-4567-89EF-0A1B-2C3D4E5F67890", nullptr, "37 characters"},
      {"{0123ABCD-4567-89EF-0A1B-2C3D4E5F6789", nullptr, "opening brace only"},
      {"(0123ABCD-4567-89EF-0A1B-2C3D4E5F6789)", nullptr, "other brackets"},
      {"{{123ABCD-4567-89EF-0A1B-2C3D4E5F678}}", nullptr, "braces inside"},
      {"0123ABCD-4567-89EF-0A1B-2C3D4E5F678G", nullptr, "no hexadecimal digit"},
      {"0123ABCD+4567-89EF-0A1B-2C3D4E5F6789", nullptr, "other separator"},
      {"0123ABCD4-567-89EF-0A1B-2C3D4E5F6789", nullptr, "dash out of place"},
      {"0123ABCD-4567-89EF-0A1B-2C3D4E5F6789\n", nullptr, "line end: callers trim"},
      {" 0123ABCD-4567-89EF-0A1B-2C3D4E5F678", nullptr, "blank"},
      {"", nullptr, "empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    if (c.parsed == nullptr) {
      try {
        Guid::Parse(c.text);
        ADD_FAILURE() << "accepted " << c.text;
      } catch (const GuidSyntaxError& error) {
        EXPECT_STREQ("Bad guid syntax", error.what());
      }
    } else {
      EXPECT_EQ(c.parsed, Guid::Parse(c.text).ToString());
    }
  }
}

TEST(GuidTest, TextOrderIsByteOrder) {
  const Guid guid = Guid::Parse("00112233-4455-6677-8899-AABBCCDDEEFF");
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(i * 0x11, guid.GetBytes()[i]) << "byte " << i;
  }
}

TEST(GuidTest, RandomGuidsAreVersionFourWithTheStandardVariant) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string text = Guid::NewRandom().ToString();
    ASSERT_EQ(36u, text.size());
    EXPECT_EQ('4', text[14]) << text;
    EXPECT_NE(std::string::npos, std::string("89AB").find(text[19])) << text;
    EXPECT_EQ(text, Guid::Parse(text).ToString());
    seen.insert(text);
  }
  EXPECT_EQ(1000u, seen.size());
}

}  // namespace
}  // namespace sov::supervisor
