// velmora-doctor: tells in one run why the Velmora extension cannot reach the agent. The host
// must stay silent, so the diagnosis is this second program's.
#include <iostream>
#include <string_view>
#include <vector>

#include "options.h"
#include "product.h"
#include "verdict.h"

int main(int argc, char** argv) {
  using namespace velmora::doctor;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  using velmora::product::CHROMIUM_EXTENSION_IDS, velmora::product::FIREFOX_EXTENSION_IDS;
  Options defaults{{CHROMIUM_EXTENSION_IDS.begin(), CHROMIUM_EXTENSION_IDS.end()},
                   {FIREFOX_EXTENSION_IDS.begin(), FIREFOX_EXTENSION_IDS.end()},
                   std::string(velmora::product::HOST_NAME)};
  auto options = parse_options(args, std::move(defaults));
  if (!options) {
    std::cerr << "velmora-doctor: " << options.error() << "\n" << usage() << "\n";
    return 2;
  }
  if (options->help) {
    std::cout << usage() << "\n";
    return 0;
  }
  auto checks = examine_all({options->host_name, options->chromium_ids, options->firefox_ids});
  std::cout << (options->json      ? as_json(checks)
                : options->verbose ? as_text(checks)
                                   : as_report(checks))
            << std::flush;
  return exit_status(checks);
}
