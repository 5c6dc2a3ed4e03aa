#include "options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string_view>
#include <vector>

namespace velmora::agent {
namespace {

std::expected<CommandLine, std::string> parse(std::initializer_list<std::string_view> args) {
  std::vector<std::string_view> list(args);
  return parse_command_line(list);
}

TEST(AgentOptionsTest, NoArgumentsKeepTheContract) {
  auto command = parse({});
  ASSERT_TRUE(command) << command.error();
  const Behaviour& b = command->behaviour;
  EXPECT_FALSE(b.refuse || b.close_after_hello || b.no_reply || b.no_echo);
  EXPECT_FALSE(b.zero_frame_after || b.reply || command->roaming);
  EXPECT_FALSE(command->print_port);
}

TEST(AgentOptionsTest, EveryFlagSetsItsOwnField) {
  auto command =
      parse({"--refuse", "--close-after-hello", "--no-reply", "--no-echo", "--print-port"});
  ASSERT_TRUE(command) << command.error();
  const Behaviour& b = command->behaviour;
  EXPECT_TRUE(b.refuse && b.close_after_hello && b.no_reply && b.no_echo);
  EXPECT_TRUE(command->print_port);
  EXPECT_FALSE(parse({"--no-echo"})->behaviour.no_reply);
  EXPECT_FALSE(parse({"--refuse"})->behaviour.close_after_hello);
}

TEST(AgentOptionsTest, ValuesAreTakenVerbatim) {
  auto command =
      parse({"--roaming", "some dir", "--reply", R"({"ok":1} )", "--zero-frame-after", "3"});
  ASSERT_TRUE(command) << command.error();
  EXPECT_EQ(command->roaming, std::filesystem::path("some dir"));
  EXPECT_EQ(command->behaviour.reply, R"({"ok":1} )");
  EXPECT_EQ(command->behaviour.zero_frame_after, 3u);
  EXPECT_EQ(parse({"--zero-frame-after", "0"})->behaviour.zero_frame_after, 0u);
}

TEST(AgentOptionsTest, MistakesAreReportedNotGuessed) {
  EXPECT_FALSE(parse({"--refuse", "--bogus"}));
  EXPECT_FALSE(parse({"refuse"}));
  EXPECT_FALSE(parse({"--reply"}));
  EXPECT_FALSE(parse({"--roaming"}));
  for (std::string_view count : {"", "x", "3x", "-1", "1.5", "99999999999999999999999"}) {
    EXPECT_FALSE(parse({"--zero-frame-after", count})) << count;
  }
}

}  // namespace
}  // namespace velmora::agent
