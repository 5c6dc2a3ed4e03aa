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

TEST(AgentOptionsTest, NoArgumentsPublishInTheRoamingFolderQuietly) {
  auto command = parse({});
  ASSERT_TRUE(command) << command.error();
  EXPECT_FALSE(command->roaming);
  EXPECT_FALSE(command->print_port);
}

TEST(AgentOptionsTest, ValuesAreTakenVerbatim) {
  auto command = parse({"--roaming", "some dir", "--print-port"});
  ASSERT_TRUE(command) << command.error();
  EXPECT_EQ(command->roaming, std::filesystem::path("some dir"));
  EXPECT_TRUE(command->print_port);
}

TEST(AgentOptionsTest, MistakesAreReportedNotGuessed) {
  for (auto args : std::vector<std::vector<std::string_view>>{
           {"--print-port", "--bogus"}, {"roaming"}, {"--roaming"}}) {
    EXPECT_FALSE(parse_command_line(args)) << args.front();
  }
}

}  // namespace
}  // namespace velmora::agent
