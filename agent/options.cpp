#include "options.h"

namespace velmora::agent {

std::expected<CommandLine, std::string> parse_command_line(std::span<const std::string_view> args) {
  CommandLine command;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view name = args[i];
    if (name == "--print-port") {
      command.print_port = true;
    } else if (name != "--roaming") {
      return std::unexpected("unknown option: " + std::string(name));
    } else if (++i == args.size()) {
      return std::unexpected("missing value after " + std::string(name));
    } else {
      command.roaming = std::filesystem::path(args[i]);
    }
  }
  return command;
}

std::string_view usage() {
  return "usage: velmora-agent [--roaming DIR] [--print-port]";
}

}  // namespace velmora::agent
