// Without a roaming application-data folder the host cannot find the bridge file: it says so
// and ends with status 1 before it looks at its input.
#include "host_fixture.h"

namespace velmora::blackbox {
namespace {

constexpr std::string_view kNoConfigDirectory = "velmora-web-host: no config directory\n";

struct InputCase {
  const char* name;
  StdinMode stdin_mode;
};

void PrintTo(const InputCase& row, std::ostream* out) {
  *out << row.name;
}

class NoRoamingFolder : public HostTestWithParam<InputCase> {};

TEST_P(NoRoamingFolder, ReportsNoConfigDirectoryWithStatusOne) {
  auto host = start_without_roaming(GetParam().stdin_mode);
  ASSERT_TRUE(host) << host.error();
  EXPECT_TRUE(EndsWith(*host, ExitStatus::exited(1), kNoConfigDirectory));
}

INSTANTIATE_TEST_SUITE_P(Host, NoRoamingFolder,
                         testing::Values(InputCase{"input_open", StdinMode::Pipe},
                                         InputCase{"input_already_ended", StdinMode::Ended},
                                         InputCase{"no_standard_input", StdinMode::Absent}),
                         NameOfRow{});

// What stands for the roaming folder on Linux: $XDG_CONFIG_HOME when absolute, else
// $HOME/.config when HOME is not empty.
struct LinuxRuleCase {
  const char* name;
  EnvChanges env;  // on top of an absolute XDG_CONFIG_HOME
  bool found;
};

void PrintTo(const LinuxRuleCase& row, std::ostream* out) {
  *out << row.name;
}

class LinuxRoamingRule : public HostTestWithParam<LinuxRuleCase> {
 protected:
  void SetUp() override {
    if (under_wine()) GTEST_SKIP() << "the Windows build asks the shell";
    HostTest::SetUp();
  }
};

TEST_P(LinuxRoamingRule, FolderFoundOrReported) {
  const LinuxRuleCase& row = GetParam();
  auto host = start(StdinMode::Pipe, row.env);
  ASSERT_TRUE(host) << host.error();
  if (!row.found) {
    EXPECT_TRUE(EndsWith(*host, ExitStatus::exited(1), kNoConfigDirectory));
    return;
  }
  EXPECT_TRUE(StaysAlive(*host, idle_span()));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

constexpr const char* kSomeHome = "/nonexistent/velmora-home";

INSTANTIATE_TEST_SUITE_P(
    Host, LinuxRoamingRule,
    testing::Values(
        LinuxRuleCase{"relative_xdg_and_no_home",
                      {{"XDG_CONFIG_HOME", "relative/config"}, {"HOME", std::nullopt}},
                      false},
        LinuxRuleCase{
            "empty_xdg_and_no_home", {{"XDG_CONFIG_HOME", ""}, {"HOME", std::nullopt}}, false},
        LinuxRuleCase{
            "no_xdg_and_empty_home", {{"XDG_CONFIG_HOME", std::nullopt}, {"HOME", ""}}, false},
        LinuxRuleCase{"relative_xdg_falls_back_to_home",
                      {{"XDG_CONFIG_HOME", "relative/config"}, {"HOME", kSomeHome}},
                      true},
        LinuxRuleCase{
            "no_xdg_but_home", {{"XDG_CONFIG_HOME", std::nullopt}, {"HOME", kSomeHome}}, true},
        LinuxRuleCase{"absolute_xdg_and_no_home", {{"HOME", std::nullopt}}, true}),
    NameOfRow{});

}  // namespace
}  // namespace velmora::blackbox
