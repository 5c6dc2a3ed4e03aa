#include "options.h"

#include <charconv>

namespace velmora::agent {

namespace {

bool& refuse(CommandLine& c) {
  return c.behaviour.refuse;
}
bool& close_after_hello(CommandLine& c) {
  return c.behaviour.close_after_hello;
}
bool& no_reply(CommandLine& c) {
  return c.behaviour.no_reply;
}
bool& no_echo(CommandLine& c) {
  return c.behaviour.no_echo;
}
bool& print_port(CommandLine& c) {
  return c.print_port;
}

// Options that take no value, and the field each one sets.
bool* flag_field(CommandLine& command, std::string_view name) {
  using Field = bool& (*)(CommandLine&);
  static constexpr std::pair<std::string_view, Field> flags[] = {
      {"--refuse", refuse},
      {"--close-after-hello", close_after_hello},
      {"--no-reply", no_reply},
      {"--no-echo", no_echo},
      {"--print-port", print_port}};
  for (const auto& [flag, field] : flags) {
    if (flag == name) return &field(command);
  }
  return nullptr;
}

std::expected<std::size_t, std::string> parse_count(std::string_view text) {
  std::size_t count = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
    return std::unexpected("not a frame count: " + std::string(text));
  }
  return count;
}

std::expected<void, std::string> apply_value(CommandLine& command, std::string_view name,
                                             std::string_view value) {
  if (name == "--roaming") {
    command.roaming = std::filesystem::path(value);
  } else if (name == "--reply") {
    command.behaviour.reply = std::string(value);
  } else {
    auto count = parse_count(value);
    if (!count) return std::unexpected(std::move(count.error()));
    command.behaviour.zero_frame_after = *count;
  }
  return {};
}

bool takes_value(std::string_view name) {
  return name == "--roaming" || name == "--reply" || name == "--zero-frame-after";
}

}  // namespace

std::expected<CommandLine, std::string> parse_command_line(std::span<const std::string_view> args) {
  CommandLine command;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view name = args[i];
    if (bool* field = flag_field(command, name)) {
      *field = true;
    } else if (!takes_value(name)) {
      return std::unexpected("unknown option: " + std::string(name));
    } else if (++i == args.size()) {
      return std::unexpected("missing value after " + std::string(name));
    } else if (auto applied = apply_value(command, name, args[i]); !applied) {
      return std::unexpected(std::move(applied.error()));
    }
  }
  return command;
}

std::string_view usage() {
  return "usage: velmora-agent [--roaming DIR] [--print-port] [--refuse] [--close-after-hello]\n"
         "                     [--no-reply] [--no-echo] [--zero-frame-after N] [--reply BYTES]";
}

}  // namespace velmora::agent
