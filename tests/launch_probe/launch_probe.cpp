// Writes its report to the file named by VELMORA_PROBE_REPORT, one "key=value" line each, and
// ends. The file appears whole under its name (written aside, then renamed), so a test polling
// for it never reads half a report.
#include "launch_probe.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace {

using namespace velmora::launch_probe;

std::string report(int argument_count) {
  // Looked at before the report file is opened, which would add a descriptor of its own.
  std::string held = held_beyond_standard_streams();
  return "args=" + std::to_string(argument_count) + "\ncwd=" + current_folder() +
         "\nstdin=" + describe(StandardStream::Input) +
         "\nstdout=" + describe(StandardStream::Output) + "\nheld=" + held + "\n" +
         platform_lines();
}

}  // namespace

int main(int argc, char**) {
  const char* target = std::getenv("VELMORA_PROBE_REPORT");
  if (target == nullptr) return 2;
  std::string text = report(argc - 1);
  std::filesystem::path path(target);
  std::filesystem::path aside = path;
  aside += ".partial";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return 3;
  }
  std::error_code error;
  std::filesystem::rename(aside, path, error);
  return error ? 4 : 0;
}
