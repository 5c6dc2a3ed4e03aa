#include "json_message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <string_view>

namespace velmora {
namespace {

std::span<const std::byte> bytes(std::string_view text) {
  return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

std::string reparsed(std::string_view text) {
  auto value = parse_message(bytes(text));
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
  auto seven = parse_message(bytes("7"));
  ASSERT_TRUE(seven && seven->as_u64());
  EXPECT_EQ(*seven->as_u64(), 7u);
  auto negative = parse_message(bytes("-7"));
  ASSERT_TRUE(negative && negative->as_i64());
  EXPECT_EQ(*negative->as_i64(), -7);
  auto minus_zero = parse_message(bytes("-0"));
  ASSERT_TRUE(minus_zero && minus_zero->as_double());
  EXPECT_TRUE(std::signbit(*minus_zero->as_double()));
  auto wide = parse_message(bytes("123456789012345678901234567890"));
  ASSERT_TRUE(wide && wide->as_double());
  EXPECT_DOUBLE_EQ(*wide->as_double(), 1.2345678901234568e29);
  auto tiny = parse_message(bytes("1e-400"));
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
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
      {"[1,2", "EOF while parsing an array at line 1 column 4"},
      {"[\n\"ab", "EOF while parsing a string at line 2 column 3"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"[1,]", "expected value at line 1 column 4"},
      {"\f1", "expected value at line 1 column 1"},
      {"\xC2\xA0"
       "1",
       "expected value at line 1 column 1"},
      {"NaN", "expected value at line 1 column 1"},
      {"'a'", "expected value at line 1 column 1"},
      {"/*c*/1", "expected value at line 1 column 1"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"{a:1}", "key must be a string at line 1 column 2"},
      {"{\"a\":1\n,}", "key must be a string at line 2 column 2"},
      {R"({"a" 1})", "expected `:` at line 1 column 6"},
      {"[1 x", "expected `,` or `]` at line 1 column 4"},
      {R"({"a":1 x)", "expected `,` or `}` at line 1 column 8"},
      {"[-]", "invalid number at line 1 column 3"},
      {"\"\x01\"", "control character in string at line 1 column 2"},
      // A NUL byte is a byte like any other, never the end of the input.
      {std::string_view("{\"ok\":true}\0junk", 16), "trailing characters at line 1 column 12"},
      {std::string_view("[1,\n\0]", 6), "expected value at line 2 column 1"},
      {std::string_view("\"a\0\"", 4), "control character in string at line 1 column 3"},
      {"\"\xC3(\"", "invalid UTF-8 in string at line 1 column 3"},
      {"\"\xED\xA0\x80\"", "invalid UTF-8 in string at line 1 column 3"},
      {"\"\xC0\xAF\"", "invalid UTF-8 in string at line 1 column 2"},
      {R"("\ud800")", "unpaired surrogate in string at line 1 column 8"},
      {R"("\udc00")", "unpaired surrogate in string at line 1 column 7"},
      {R"("\x")", "invalid escape at line 1 column 3"},
      {R"("\u12g4")", "invalid unicode escape at line 1 column 6"},
  };
  for (const auto& c : cases) EXPECT_EQ(reparsed(c.text), "error: " + std::string(c.display));
}

TEST(ParseMessage, NestingStopsAtTheBracketThatOpensLevel128) {
  auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parse_message(bytes(nested(MAX_JSON_NESTING))));
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
  auto value = parse_message(bytes(R"({"ok":true,"x":1,"ok":false})"));
  ASSERT_TRUE(value);
  EXPECT_EQ(serialize_compact(*value), R"({"ok":false,"x":1})");
}

TEST(JsonObject, OrdersKeysByUnsignedBytesPrefixFirst) {
  JsonObject object;
  for (const char* key : {"b", "\xC3\xA9", "ab", "", "\x7F", "Z", "a", "A"}) {
    object.insert(key, nullptr);
  }
  std::string order;
  for (const auto& [key, value] : object) order += "<" + key + ">";
  EXPECT_EQ(order, "<><A><Z><a><ab><b><\x7F><\xC3\xA9>");
}

TEST(JsonObject, InsertReplacesInPlaceAndBuildingKeepsTheLastOfRepeatedKeys) {
  JsonObject object;
  for (const char* key : {"c", "a", "b"}) object.insert(key, 1);
  object.insert("b", "two");
  EXPECT_EQ(serialize_compact(object), R"({"a":1,"b":"two","c":1})");
  JsonObject built({{"z", 1}, {"a", 2}, {"z", 3}, {"a", 4}, {"m", 5}});
  EXPECT_EQ(serialize_compact(built), R"({"a":4,"m":5,"z":3})");
}

TEST(SerializeCompact, EscapesOnlyWhatJsonRequires) {
  struct Case {
    std::string text;
    std::string_view written;
  };
  const Case cases[] = {
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string(1, '\0'), R"("\u0000")"},
      {"\x01\x0B\x1F", R"("\u0001\u000b\u001f")"},
      {"/ \x7F", "\"/ \x7F\""},
      {"\xC3\xA9\xE2\x80\xA8\xE2\x80\xA9", "\"\xC3\xA9\xE2\x80\xA8\xE2\x80\xA9\""},
  };
  for (const auto& c : cases) EXPECT_EQ(serialize_compact(c.text), c.written);
}

TEST(SerializeCompact, WritesEveryKindWithoutWhitespace) {
  JsonObject inner;
  inner.insert("n", nullptr);
  JsonArray array{true, false, 0,           -5,           std::uint64_t{18446744073709551615u},
                  2.0,  0.25,  JsonArray{}, JsonObject{}, inner};
  EXPECT_EQ(serialize_compact(array),
            R"([true,false,0,-5,18446744073709551615,2.0,0.25,[],{},{"n":null}])");
  EXPECT_EQ(serialize_compact(JsonValue()), "null");
}

TEST(SerializeCompact, HostMessagesHaveTheirExactBytes) {
  for (bool launched : {true, false}) {
    JsonObject reply;
    reply.insert("ok", true);
    reply.insert("launched", launched);
    EXPECT_EQ(serialize_compact(reply),
              launched ? R"({"launched":true,"ok":true})" : R"({"launched":false,"ok":true})");
  }
  auto hello = [](std::string token) {
    JsonObject message;
    message.insert("op", "hello");
    message.insert("token", std::move(token));
    return serialize_compact(message);
  };
  EXPECT_EQ(hello("a\"b\\c\nd\x01"
                  "e\xC3\xA9/"),
            "{\"op\":\"hello\",\"token\":\"a\\\"b\\\\c\\nd\\u0001e\xC3\xA9/\"}");
  EXPECT_EQ(hello(""), R"({"op":"hello","token":""})");
  EXPECT_EQ(hello("").size(), 25u);
}

TEST(IsLaunchRequest, OnlyAnObjectWhoseOpIsExactlyLaunch) {
  struct Case {
    std::string message;
    bool launch;
  };
  const Case cases[] = {
      {R"({"op":"launch"})", true},
      {R"({"op":"launch","v":2})", true},
      {R"( {"v":[1],"op":"launch"} )", true},
      {R"({"op":"hello","op":"launch"})", true},
      {R"({"op":"launch","op":"hello"})", false},
      {R"({"op":"Launch"})", false},
      {R"({"op":"launch "})", false},
      {R"({"op":["launch"]})", false},
      {R"({"op":1})", false},
      {R"({"op":null})", false},
      {R"({"cmd":"launch"})", false},
      {R"({"OP":"launch"})", false},
      {R"(["launch"])", false},
      {R"("launch")", false},
      {R"({"op":"launch"}x)", false},
      {std::string(R"({"op":"launch"})") + '\0' + 'x', false},
      {R"({"op":"launch","x":)" + std::string(127, '[') + std::string(127, ']') + "}", false},
      {R"({"op":"launch","x":)" + std::string(126, '[') + std::string(126, ']') + "}", true},
      {R"({"x":{"op":"launch"}})", false},
      {R"({"op":{"op":"launch"}})", false},
      {R"({"op":"launch","op":["launch"]})", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_launch_request(bytes(c.message)), c.launch) << c.message;
    // The tree-free check must agree with the parsed message.
    auto parsed = parse_message(bytes(c.message));
    const JsonValue* op = parsed ? get_key(*parsed, "op") : nullptr;
    EXPECT_EQ(op != nullptr && *op == JsonValue("launch"), c.launch) << c.message;
  }
}

TEST(IsAcceptance, OnlyAnObjectWhoseOkIsTrue) {
  struct Case {
    std::string_view reply;
    bool accepted;
  };
  const Case cases[] = {
      {R"({"ok":true})", true},
      {" \t\r\n{\"ok\":true} \t\r\n", true},
      {R"({"ok":true,"x":3})", true},
      {R"({"ok":false,"ok":true})", true},
      {R"({"ok":true,"ok":false})", false},
      {R"({"ok":false})", false},
      {R"({"ok":1})", false},
      {R"({"ok":"true"})", false},
      {R"({"ok":null})", false},
      {R"({"Ok":true})", false},
      {"{}", false},
      {"[]", false},
      {"true", false},
  };
  for (const auto& c : cases) {
    auto reply = parse_message(bytes(c.reply));
    ASSERT_TRUE(reply) << c.reply;
    EXPECT_EQ(is_acceptance(*reply), c.accepted) << c.reply;
  }
}

}  // namespace
}  // namespace velmora
