// velmora-agent: a stand-in for the desktop agent, so the host can be run and shown without it.
// Started with no arguments it publishes in the roaming folder and serves.
#include <filesystem>
#include <iostream>
#include <optional>
#include <string_view>
#include <vector>

#include "agent.h"
#include "bridge_file.h"
#include "options.h"
#include "stop_signals.h"

namespace {

int complain(std::string_view text, int status) {
  std::cerr << "velmora-agent: " << text << '\n';
  return status;
}

std::optional<std::filesystem::path> bridge_file_for(const velmora::agent::CommandLine& command) {
  if (!command.roaming) return velmora::bridge_file_path();
  return *command.roaming / "VelmoraAgent" / "web-bridge.json";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto command = velmora::agent::parse_command_line(args);
  if (!command) return complain(command.error() + "\n" + std::string(velmora::agent::usage()), 2);
  auto bridge_file = bridge_file_for(*command);
  if (!bridge_file) return complain("no roaming folder to publish in; give one with --roaming", 1);
  auto agent = velmora::agent::Agent::open(std::move(*bridge_file));
  if (!agent) return complain(agent.error(), 1);
  velmora::agent::StopOnSignals signals([&agent] { agent->request_stop(); });
  if (command->print_port) std::cout << agent->port() << std::endl;
  agent->run();
  return 0;
}
