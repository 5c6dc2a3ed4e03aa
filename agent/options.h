// The sample agent's command line: where to publish, and the ways it can misbehave on purpose
// so that tests can drive the host into each of its failure paths.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora::agent {

// How a connection is served. The defaults keep the agent's side of the link faithfully.
struct Behaviour {
  bool refuse = false;                            // answer every hello with {"ok":false}
  bool close_after_hello = false;                 // close after the hello, without a reply
  bool no_reply = false;                          // never answer the hello, nor anything after
  bool no_echo = false;                           // accept, then never send another frame
  std::optional<std::size_t> zero_frame_after{};  // send a zero-length frame after N echoes
  std::optional<std::string> reply{};             // answer the hello with these bytes instead
};

struct CommandLine {
  Behaviour behaviour;
  std::optional<std::filesystem::path> roaming;  // stands in for the roaming folder
  bool print_port = false;                       // print the port once the bridge file is up
};

// Parses the arguments after the program name; the error names the offending argument.
std::expected<CommandLine, std::string> parse_command_line(std::span<const std::string_view> args);

// One line per option, for the usage message.
std::string_view usage();

}  // namespace velmora::agent
