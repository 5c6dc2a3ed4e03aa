// velmora-register-host's command line: `install` with its options, or `uninstall`.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::registrar {

struct InstallOptions {
  std::optional<std::string> host;  // nothing: velmora-web-host beside this program
  // The product's own IDs unless any is given: those given replace them all, so that
  // `--firefox ID` alone registers the Firefox family only.
  std::vector<std::string> chromium_ids;
  std::vector<std::string> firefox_ids;
  std::vector<std::string> browsers;  // table ids or "all"; none: the installed browsers
};

enum class Verb { Install, Uninstall, Help };

struct Command {
  Verb verb = Verb::Help;
  InstallOptions install;
};

// The refusal's line; an empty one asks for the usage instead. Every extension ID is checked
// here, so that nothing is written for a bad one.
std::expected<Command, std::string> parse_command(std::span<const std::string_view> args);

std::string usage();

}  // namespace velmora::registrar
