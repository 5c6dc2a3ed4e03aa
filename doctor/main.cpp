// velmora-doctor: tells in one run why the Velmora extension cannot reach the agent. The host
// must stay silent, so the diagnosis is this second program's.
#include <iostream>
#include <ranges>
#include <string_view>
#include <vector>

#include "examine.h"
#include "options.h"

namespace {

std::vector<std::string> split_ids(std::string_view list) {
  std::vector<std::string> ids;
  for (auto part : std::views::split(list, ',')) {
    if (!part.empty()) ids.emplace_back(part.begin(), part.end());
  }
  return ids;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmora::doctor;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  Options defaults{split_ids(VELMORA_DOCTOR_CHROMIUM_IDS), split_ids(VELMORA_DOCTOR_FIREFOX_IDS)};
  auto options = parse_options(args, std::move(defaults));
  if (!options) {
    std::cerr << "velmora-doctor: " << options.error() << "\n" << usage() << "\n";
    return 2;
  }
  if (options->help) {
    std::cout << usage() << "\n";
    return 0;
  }
  auto checks =
      examine_all({VELMORA_DOCTOR_HOST_NAME, options->chromium_ids, options->firefox_ids});
  std::cout << (options->json ? as_json(checks) : as_text(checks)) << std::flush;
  return exit_status(checks);
}
