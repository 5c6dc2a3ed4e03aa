// velmora-doctor's command line: none is needed; the extension IDs default to those the host's
// manifests were built with.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::doctor {

struct Options {
  std::vector<std::string> chromium_ids;
  std::vector<std::string> firefox_ids;
  std::string host_name;
  bool json = false;
  bool verbose = false;  // every check, a line each, as --json has them
  bool help = false;
};

// The arguments after the program name, over `defaults`; the error names the bad argument.
std::expected<Options, std::string> parse_options(std::span<const std::string_view> args,
                                                  Options defaults);

std::string_view usage();

}  // namespace velmora::doctor
