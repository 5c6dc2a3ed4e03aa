#include "host/messages.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>

#include "byte_stream.h"
#include "json/parse.h"

namespace velmora {
namespace {

TEST(Hello, CarriesTheTokenAsACompactJsonString) {
  struct Case {
    std::string token;
    std::string bytes;
  };
  const Case cases[] = {
      {"", R"({"op":"hello","token":""})"},
      {"abc123", R"({"op":"hello","token":"abc123"})"},
      {"q\"b\\n\nc\x01\x1f/\x7f\xC3\xA9", R"({"op":"hello","token":"q\"b\\n\nc\u0001\u001f/)"
                                          "\x7f\xC3\xA9\"}"},
      {"\b\t\f\r", R"({"op":"hello","token":"\b\t\f\r"})"},
      {"\xE2\x80\xA8", "{\"op\":\"hello\",\"token\":\"\xE2\x80\xA8\"}"},
  };
  for (const auto& c : cases) EXPECT_EQ(hello_message(c.token), c.bytes);
  EXPECT_EQ(hello_message("").size(), 25u);
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
    EXPECT_EQ(is_launch_request(as_bytes(c.message)), c.launch) << c.message;
    // The tree-free check must agree with the parsed message.
    auto parsed = parse_message(as_bytes(c.message));
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
    auto accepted = is_acceptance(as_bytes(c.reply));
    ASSERT_TRUE(accepted) << c.reply;
    EXPECT_EQ(*accepted, c.accepted) << c.reply;
  }
}

// Judged without a tree, a reply that is not JSON still fails as parse_message fails.
TEST(IsAcceptance, FailsWithTheParsersErrorAndPosition) {
  const std::string cases[] = {
      R"({"ok":true} x)",
      std::string(128, '[') + std::string(128, ']'),
      R"({"ok":true,"n":1e400})",
      R"({"ok":tru})",
      "",
  };
  for (const auto& reply : cases) {
    auto accepted = is_acceptance(as_bytes(reply));
    auto parsed = parse_message(as_bytes(reply));
    ASSERT_FALSE(accepted) << reply;
    ASSERT_FALSE(parsed) << reply;
    EXPECT_EQ(accepted.error().display(), parsed.error().display()) << reply;
  }
  EXPECT_EQ(is_acceptance(as_bytes(cases[0])).error().display(),
            "trailing characters at line 1 column 13");
}

}  // namespace
}  // namespace velmora
