// The sample agent's command line: where to publish, and whether to print the port.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora::agent {

struct CommandLine {
  std::optional<std::filesystem::path> roaming;  // stands in for the roaming folder
  bool print_port = false;                       // print the port once the bridge file is up
};

// Parses the arguments after the program name; the error names the offending argument.
std::expected<CommandLine, std::string> parse_command_line(std::span<const std::string_view> args);

// One line per option, for the usage message.
std::string_view usage();

}  // namespace velmora::agent
