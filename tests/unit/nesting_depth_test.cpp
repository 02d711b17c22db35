#include "supervisor/common/files/nesting_depth.h"

#include <gtest/gtest.h>

#include <string>

namespace sov::supervisor {
namespace {

// Limit 2 throughout: three levels are too deep.
TEST(NestingDepthTest, XmlCountsElementsOnly) {
  const struct {
    const char* text;
    bool deeper;
    const char* why;
  } cases[] = {
      {"<a><b><c/></b></a>", false, "an empty element adds no level"},
      {"<a><b><c></c></b></a>", true, "three levels"},
      {"<a><b/><b/><b></b><b>x</b></a>", false, "siblings do not add up"},
      {"<a></a><b><c></c></b>", false, "closed elements give their level back"},
      {"<?xml version=\"1.0\"?><a><b><?pi <c>?></b></a>", false, "processing instructions"},
      {"<a><b><!-- <c><d> --></b></a>", false, "comments"},
      {"<a><b><![CDATA[<c><d>]]></b></a>", false, "CDATA sections"},
      {"<a><b x='>' y=\"<c>\"></b></a>", false, "quoted attribute values"},
      {"<!DOCTYPE a><a><b></b></a>", false, "declarations"},
      {"<a><b x=\"/\"><c></c></b></a>", true, "a slash in a value does not empty the tag"},
      {"<a><b><!-- unclosed <c><d>", false, "an unclosed comment runs to the end, as parsed"},
      {"<a><b>x</b><b>y</b><b><c></c></b></a>", true, "deep after a run of siblings"},
      {"</x></x><a><b><c>", true, "stray end tags cannot lower the count below zero"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.deeper, XmlNestsDeeperThan(c.text, 2));
  }
}

TEST(NestingDepthTest, JsonCountsObjectsAndArrays) {
  const struct {
    const char* text;
    bool deeper;
    const char* why;
  } cases[] = {
      {"{\"a\": [1, 2]}", false, "two levels"},
      {"{\"a\": [[1]]}", true, "three levels"},
      {"{\"a\": [1], \"b\": {}, \"c\": []}", false, "siblings do not add up"},
      {"{\"a\": \"[[[{{{\"}", false, "brackets in strings"},
      {"{\"a\\\"[[\": \"\\\\\", \"b\": [\"]]]\"]}", false, "escaped quotes and backslashes"},
      {"{\"a\": \"\\\\\"} [[[", true, "a string ends after an escaped backslash"},
      {"]]]}}} {[[", true, "stray closing brackets cannot lower the count below zero"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(c.deeper, JsonNestsDeeperThan(c.text, 2));
  }
}

}  // namespace
}  // namespace sov::supervisor
