#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "json/value.h"

namespace velmora {
namespace {

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

}  // namespace
}  // namespace velmora
