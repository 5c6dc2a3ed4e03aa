#include "options.h"

#include "browser_table.h"
#include "extension_ids.h"
#include "places.h"
#include "product.h"

namespace velmora::registrar {

namespace {

using registration::Family;

std::expected<InstallOptions, std::string> parse_install(std::span<const std::string_view> args) {
  InstallOptions options;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    std::string name(args[i]);
    if (name != "--host" && name != "--browser" && name != "--chromium" && name != "--firefox")
      return std::unexpected("unknown option: " + name);
    if (i + 1 == args.size()) return std::unexpected("missing value after " + name);
    std::string value(args[i + 1]);
    if (name == "--host") {
      options.host = value;
    } else if (name == "--browser") {
      options.browsers.push_back(value);
    } else {
      Family family = name == "--chromium" ? Family::Chromium : Family::Firefox;
      if (auto refusal = registration::id_refusal(family, value); !refusal.empty())
        return std::unexpected(refusal);
      (family == Family::Chromium ? options.chromium_ids : options.firefox_ids).push_back(value);
    }
  }
  if (options.chromium_ids.empty() && options.firefox_ids.empty()) {
    using product::CHROMIUM_EXTENSION_IDS, product::FIREFOX_EXTENSION_IDS;
    options.chromium_ids.assign(CHROMIUM_EXTENSION_IDS.begin(), CHROMIUM_EXTENSION_IDS.end());
    options.firefox_ids.assign(FIREFOX_EXTENSION_IDS.begin(), FIREFOX_EXTENSION_IDS.end());
  }
  return options;
}

}  // namespace

std::expected<Command, std::string> parse_command(std::span<const std::string_view> args) {
  if (args.empty()) return std::unexpected("");
  auto rest = args.subspan(1);
  if (args[0] == "-h" || args[0] == "--help") return Command{};
  if (args[0] == "uninstall") {
    if (!rest.empty()) return std::unexpected("uninstall takes no arguments");
    return Command{Verb::Uninstall, {}};
  }
  if (args[0] != "install") return std::unexpected("");
  auto options = parse_install(rest);
  if (!options) return std::unexpected(options.error());
  return Command{Verb::Install, std::move(*options)};
}

std::string usage() {
  std::string ids;
  for (const auto& id : product::CHROMIUM_EXTENSION_IDS) ids += " " + std::string(id);
  for (const auto& id : product::FIREFOX_EXTENSION_IDS) ids += " " + std::string(id);
  return "usage: velmora-register-host install [--host PATH] [--chromium ID]... [--firefox ID]...\n"
         "                                     [--browser NAME]...\n"
         "       velmora-register-host uninstall\n"
         "  --chromium ID   allow the extension with this ID in the Chromium family (Chrome,\n"
         "                  Chromium, Edge, Brave, Vivaldi, Opera; 32 letters a-p)\n"
         "  --firefox ID    allow the extension with this ID in the Firefox family (Firefox,\n"
         "                  LibreWolf, Waterfox, Floorp, Zen; name@domain or {GUID})\n"
         "  --browser NAME  register for this browser only (repeatable): one of\n"
         "                  " +
         browser_ids() +
         ", or all\n"
         "  --host PATH     the host executable (default: velmora-web-host beside this program)\n"
         "Without an ID, the product's own are allowed (" +
         ids.substr(1) +
         ");\nIDs given replace them all, and each browser family gets a manifest only for its "
         "own.\nWithout --browser, the browsers whose program is installed are registered for.";
}

}  // namespace velmora::registrar
