#include "bridge_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "test.h"

namespace velmora {
namespace {

TEST(ParseBridgeFile, ReadsPortAndTokenInEitherForm) {
  struct Case {
    std::string_view text;
    std::uint16_t port;
    std::string_view token;
  };
  const Case cases[] = {
      {R"({"port":8080,"token":"abc"})", 8080, "abc"},
      {R"({"token":"abc","port":8080})", 8080, "abc"},
      {R"([8080,"abc"])", 8080, "abc"},
      {" \t\r\n{ \"port\" :\n8080 ,\t\"token\" : \"abc\" }\r\n ", 8080, "abc"},
      {" [ 8080 ,\n \"abc\" ] ", 8080, "abc"},
      {R"({"v":3,"port":8080,"x":{"a":[1,null,[]]},"token":"abc","z":[{}]})", 8080, "abc"},
      {R"({"port":0,"token":""})", 0, ""},
      {R"({"port":65535,"token":"t"})", 65535, "t"},
      {R"({"p\u006frt":7,"\u0074oken":"t"})", 7, "t"},
      {R"({"Port":"x","port":7,"TOKEN":1,"token":"t"})", 7, "t"},
      {R"({"port":7,"token":" a\"\\\n\u00e9\ud83d\ude00 "})", 7,
       " a\"\\\n\xC3\xA9\xF0\x9F\x98\x80 "},
  };
  for (const auto& c : cases) {
    auto file = parse_bridge_file(as_bytes(c.text));
    ASSERT_TRUE(file) << c.text << ": " << file.error().display();
    EXPECT_EQ(file->port, c.port) << c.text;
    EXPECT_EQ(file->token, c.token) << c.text;
  }
}

TEST(ParseBridgeFile, RejectsAnythingElse) {
  const std::string_view cases[] = {
      R"({"port":65536,"token":"t"})",
      R"({"port":-1,"token":"t"})",
      R"({"port":-0,"token":"t"})",
      R"({"port":8080.0,"token":"t"})",
      R"({"port":8e3,"token":"t"})",
      R"({"port":"8080","token":"t"})",
      R"({"port":[8080],"token":"t"})",
      R"({"port":18446744073709551616,"token":"t"})",
      R"({"port":8080,"token":1})",
      R"({"port":8080,"token":{}})",
      R"({"port":8080})",
      R"({"token":"t"})",
      "{}",
      R"({"port":1,"port":1,"token":"t"})",
      R"({"token":"t","port":1,"token":"t"})",
      "[]",
      "[8080]",
      R"([8080,"t",1])",
      R"([8080,"t",])",
      R"(["t",8080])",
      R"([8080,"t"]])",
      R"({"port":8080,"token":"t",})",
      R"({"port":8080,"token":"t"} x)",
      R"({"port":8080,"token":"t"}{})",
      "null",
      "true",
      "8080",
      R"("t")",
      "",
      "\xEF\xBB\xBF{\"port\":8080,\"token\":\"t\"}",
      R"({"port":8080,"token":"t")",
      R"({"port":8080,"token":"t","x":[1,)",
  };
  for (std::string_view text : cases) EXPECT_FALSE(parse_bridge_file(as_bytes(text))) << text;
}

TEST(ParseBridgeFile, RepeatedFieldFailsBeforeItsValue) {
  struct Case {
    std::string_view text;
    std::string_view display;
  };
  const Case cases[] = {
      {R"({"port":1,"token":"t","port")", "duplicate field `port` at line 1 column 28"},
      {R"({"token":"t","port":1,"to\u006ben")", "duplicate field `token` at line 1 column 34"},
  };
  for (const auto& c : cases) {
    auto file = parse_bridge_file(as_bytes(c.text));
    ASSERT_FALSE(file) << c.text;
    EXPECT_EQ(file.error().display(), c.display);
  }
}

TEST(ParseBridgeFile, SkippedValuesNestToAnyDepth) {
  const std::size_t depth = 1'000'000;
  std::string deep = R"({"port":1,"x":)" + std::string(depth, '[') + std::string(depth, ']');
  deep += R"(,"y":)";
  for (std::size_t i = 0; i < depth / 10; ++i) deep += R"({"k":)";
  deep += "null" + std::string(depth / 10, '}') + R"(,"token":"t"})";
  auto file = parse_bridge_file(as_bytes(deep));
  ASSERT_TRUE(file) << file.error().display();
  EXPECT_EQ(file->token, "t");
  std::string unclosed = R"({"port":1,"token":"t","x":)" + std::string(depth, '[');
  EXPECT_FALSE(parse_bridge_file(as_bytes(unclosed)));
}

// Skipped strings are discarded unread, so only their escapes and control characters count.
TEST(ParseBridgeFile, ChecksUtf8OnlyInKeysAndToken) {
  struct Case {
    std::string_view text;
    bool accepted;
  };
  const Case cases[] = {
      {"{\"x\":\"\xFF\",\"port\":1,\"token\":\"t\"}", true},
      {"{\"x\":[{\"\xC0\":\"\xED\xA0\x80\"}],\"port\":1,\"token\":\"t\"}", true},
      {"{\"port\":1,\"token\":\"t\",\"x\":\"\xFF\"}", true},
      {"{\"x\":\"a\",\"\xFF\":1,\"port\":1,\"token\":\"t\"}", false},
      {"{\"x\":1,\"\xFF\":1,\"port\":1,\"token\":\"t\"}", false},
      {"{\"port\":1,\"token\":\"\xFF\"}", false},
      {"[1,\"\xFF\"]", false},
      {"{\"x\":\xFF,\"port\":1,\"token\":\"t\"}", false},
      {"{\"x\":\"\x01\",\"port\":1,\"token\":\"t\"}", false},
      {R"({"x":"\ud800","port":1,"token":"t"})", false},
      {R"({"x":"\q","port":1,"token":"t"})", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(parse_bridge_file(as_bytes(c.text)).has_value(), c.accepted);
}

class ReadBridgeFile : public testing::Test {
 protected:
  std::filesystem::path write(std::string_view contents) {
    std::filesystem::path path = folder_ / "web-bridge.json";
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

  test::TempDir dir_ = test::TempDir::create().value();
  const std::filesystem::path& folder_ = dir_.path();
};

TEST_F(ReadBridgeFile, GivesTheRecordOfAGoodFile) {
  auto file = read_bridge_file(write(R"({"port":4711,"token":"secret"})"));
  ASSERT_TRUE(file) << file.error().debug();
  EXPECT_EQ(file->port, 4711);
  EXPECT_EQ(file->token, "secret");
}

TEST_F(ReadBridgeFile, UnreadableFileIsNotConnected) {
  // One byte above the bound, sparse: refused before anything is read.
  std::filesystem::path oversized = folder_ / "oversized.json";
  std::ofstream(oversized).close();
  std::filesystem::resize_file(oversized, MAX_BRIDGE_FILE_SIZE + 1);
  for (const auto& path : {folder_ / "web-bridge.json",
                           folder_ / "VelmoraAgent" / "web-bridge.json", folder_, oversized}) {
    auto file = read_bridge_file(path);
    ASSERT_FALSE(file) << path;
    EXPECT_EQ(file.error().kind(), BridgeError::Kind::NotConnected) << path;
  }
}

TEST_F(ReadBridgeFile, BadContentsAreProtocolWithTheParserText) {
  const std::string_view cases[] = {"", R"({"port":8080})", "{\"port\":1,\"token\":\"t\"}\n x",
                                    std::string_view("{\"port\":1,\"token\":\"t\"}\0 garbage", 31)};
  for (std::string_view contents : cases) {
    auto file = read_bridge_file(write(contents));
    ASSERT_FALSE(file) << contents;
    EXPECT_EQ(file.error().kind(), BridgeError::Kind::Protocol);
    EXPECT_EQ(file.error().display(), parse_bridge_file(as_bytes(contents)).error().display());
  }
  EXPECT_EQ(read_bridge_file(write("{\"port\":1,\"token\":\"t\"}\n x")).error().display(),
            "trailing characters at line 2 column 2");
}

TEST(BridgeFilePath, NamesTheFileInTheAgentFolderOfRoamingData) {
  auto roaming = platform::roaming_app_data_folder();
  auto path = bridge_file_path();
  ASSERT_EQ(path.has_value(), roaming.has_value());
  if (!path) GTEST_SKIP() << "no roaming folder here";
  EXPECT_EQ(path->filename(), "web-bridge.json");
  EXPECT_EQ(path->parent_path().filename(), "VelmoraAgent");
  EXPECT_EQ(path->parent_path().parent_path(), *roaming);
}

}  // namespace
}  // namespace velmora
