#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>

#include "byte_stream.h"
#include "json/parse.h"

namespace velmora {
namespace {

std::string reparsed(std::string_view text) {
  auto value = parse_message(as_bytes(text));
  return value ? serialize_compact(*value) : "error: " + value.error().display();
}

TEST(ParseMessage, AcceptsAnyValueStrictlyWritten) {
  struct Case {
    std::string_view text;
    std::string_view compact;
  };
  const Case cases[] = {
      {"null", "null"},
      {" \t\r\ntrue\n", "true"},
      {"false", "false"},
      {"0", "0"},
      {"-12", "-12"},
      {"1.5", "1.5"},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      {R"("a\/b\"\\")", R"("a/b\"\\")"},
      {R"("\u00e9\ud83d\ude00")", "\"\xC3\xA9\xF0\x9F\x98\x80\""},
      {"[ 1 , [ 2 , { } ] , [ ] ]", "[1,[2,{}],[]]"},
      {R"({ "b" : 1 , "a" : { "d" : null , "c" : "x" } })", R"({"a":{"c":"x","d":null},"b":1})"},
      {R"({"k":"\u0000"})", R"({"k":"\u0000"})"},
  };
  for (const auto& c : cases) EXPECT_EQ(reparsed(c.text), c.compact) << c.text;
}

TEST(ParseMessage, KeepsNumberKinds) {
  auto seven = parse_message(as_bytes("7"));
  ASSERT_TRUE(seven && seven->as_u64());
  EXPECT_EQ(*seven->as_u64(), 7u);
  auto negative = parse_message(as_bytes("-7"));
  ASSERT_TRUE(negative && negative->as_i64());
  EXPECT_EQ(*negative->as_i64(), -7);
  auto minus_zero = parse_message(as_bytes("-0"));
  ASSERT_TRUE(minus_zero && minus_zero->as_double());
  EXPECT_TRUE(std::signbit(*minus_zero->as_double()));
  auto wide = parse_message(as_bytes("123456789012345678901234567890"));
  ASSERT_TRUE(wide && wide->as_double());
  EXPECT_DOUBLE_EQ(*wide->as_double(), 1.2345678901234568e29);
  auto tiny = parse_message(as_bytes("1e-400"));
  ASSERT_TRUE(tiny && tiny->as_double());
  EXPECT_EQ(*tiny->as_double(), 0.0);
}

TEST(ParseMessage, RejectsWithDescriptionAndPosition) {
  struct Case {
    std::string_view text;
    std::string_view display;
  };
  const Case cases[] = {
      {R"({"ok":true} x)", "trailing characters at line 1 column 13"},
      {R"({"ok":true} 123)", "trailing characters at line 1 column 13"},
      {"[1] \r\n x", "trailing characters at line 2 column 2"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"01", "trailing characters at line 1 column 2"},
      {"[1e400]", "number out of range at line 1 column 6"},
      {"-1e400", "number out of range at line 1 column 6"},
      {"", "unexpected end of input at line 1 column 0"},
      {"  \n ", "unexpected end of input at line 2 column 1"},
      {R"({"a":1)", "unexpected end of input at line 1 column 6"},
      {"[1,2", "unexpected end of input at line 1 column 4"},
      {"[\n\"ab", "unexpected end of input at line 2 column 3"},
      {"\xEF\xBB\xBF{}", "syntax error at line 1 column 1"},
      {"[1,]", "syntax error at line 1 column 4"},
      {"\f1", "syntax error at line 1 column 1"},
      {"\xC2\xA0"
       "1",
       "syntax error at line 1 column 1"},
      {"NaN", "syntax error at line 1 column 1"},
      {"'a'", "syntax error at line 1 column 1"},
      {"/*c*/1", "syntax error at line 1 column 1"},
      {"+1", "syntax error at line 1 column 1"},
      {".5", "syntax error at line 1 column 1"},
      {"{a:1}", "syntax error at line 1 column 2"},
      {"{\"a\":1\n,}", "syntax error at line 2 column 2"},
      {R"({"a" 1})", "syntax error at line 1 column 6"},
      {"[1 x", "syntax error at line 1 column 4"},
      {R"({"a":1 x)", "syntax error at line 1 column 8"},
      {"[-]", "syntax error at line 1 column 3"},
      {"\"\x01\"", "syntax error at line 1 column 2"},
      // A NUL byte is a byte like any other, never the end of the input.
      {std::string_view("{\"ok\":true}\0junk", 16), "trailing characters at line 1 column 12"},
      {std::string_view("[1,\n\0]", 6), "syntax error at line 2 column 1"},
      {std::string_view("\"a\0\"", 4), "syntax error at line 1 column 3"},
      {"\"\xC3(\"", "syntax error at line 1 column 3"},
      {"\"\xED\xA0\x80\"", "syntax error at line 1 column 3"},
      {"\"\xC0\xAF\"", "syntax error at line 1 column 2"},
      {R"("\ud800")", "syntax error at line 1 column 8"},
      {R"("\udc00")", "syntax error at line 1 column 7"},
      {R"("\x")", "syntax error at line 1 column 3"},
      {R"("\u12g4")", "syntax error at line 1 column 6"},
  };
  for (const auto& c : cases) EXPECT_EQ(reparsed(c.text), "error: " + std::string(c.display));
}

TEST(ParseMessage, NestingStopsAtTheBracketThatOpensLevel128) {
  auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parse_message(as_bytes(nested(MAX_JSON_NESTING))));
  EXPECT_EQ(reparsed(std::string(128, '[')),
            "error: recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(reparsed("\n " + nested(200)), "error: recursion limit exceeded at line 2 column 129");
  std::string objects;
  for (int i = 0; i < 128; ++i) objects += R"({"a":)";
  EXPECT_EQ(reparsed(objects), "error: recursion limit exceeded at line 1 column 636");
  // Far beyond the limit nothing deep is ever built.
  EXPECT_EQ(reparsed(nested(1'000'000)), "error: recursion limit exceeded at line 1 column 128");
}

TEST(ParseMessage, LastOfRepeatedKeysWins) {
  auto value = parse_message(as_bytes(R"({"ok":true,"x":1,"ok":false})"));
  ASSERT_TRUE(value);
  EXPECT_EQ(serialize_compact(*value), R"({"ok":false,"x":1})");
}

}  // namespace
}  // namespace velmora
