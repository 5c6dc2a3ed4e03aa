#include "options.h"

#include "extension_ids.h"

namespace velmora::doctor {

std::expected<Options, std::string> parse_options(std::span<const std::string_view> args,
                                                  Options defaults) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view name = args[i];
    if (name == "--json" || name == "--verbose" || name == "--help") {
      (name == "--json"      ? options.json
       : name == "--verbose" ? options.verbose
                             : options.help) = true;
    } else if (name != "--chromium" && name != "--firefox" && name != "--name") {
      return std::unexpected("unknown option: " + std::string(name));
    } else if (++i == args.size()) {
      return std::unexpected("missing value after " + std::string(name));
    } else if (name == "--name") {
      options.host_name = args[i];
    } else {
      // The registrar's check: an ID it refuses is none the doctor could find allowed.
      using registration::Family;
      Family family = name == "--chromium" ? Family::Chromium : Family::Firefox;
      if (auto refusal = registration::id_refusal(family, args[i]); !refusal.empty())
        return std::unexpected(refusal);
      (family == Family::Chromium ? options.chromium_ids : options.firefox_ids)
          .emplace_back(args[i]);
    }
  }
  // IDs given for one family replace that family's defaults only.
  if (options.chromium_ids.empty()) options.chromium_ids = std::move(defaults.chromium_ids);
  if (options.firefox_ids.empty()) options.firefox_ids = std::move(defaults.firefox_ids);
  if (options.host_name.empty()) options.host_name = std::move(defaults.host_name);
  return options;
}

std::string_view usage() {
  return "usage: velmora-doctor [--verbose | --json] [--chromium ID]... [--firefox ID]...\n"
         "                      [--name HOST]\n"
         "  Checks every browser's registration of the Velmora web host, the agent's bridge\n"
         "  file and port, and one run of the host. Exit status 0: all holds; 1: a check\n"
         "  failed; 2: bad arguments. The IDs default to those the host was built for, and\n"
         "  --name to the host's own name (another names a copy registered under it).\n"
         "  --verbose lists every check of every browser, installed or not; --json prints\n"
         "  them as one JSON document.";
}

}  // namespace velmora::doctor
