#include "host/handshake.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace velmora
