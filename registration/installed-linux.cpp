#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "installed.h"

namespace velmora::registration {

bool installed(const TableRow& row) {
  return installed_program(row).has_value();
}

std::optional<std::filesystem::path> installed_program(const TableRow& row) {
  const char* path = std::getenv("PATH");
  for (std::string_view program : items(row.programs)) {
    if (program.front() == '/') {
      if (runnable(program)) return program;
      continue;
    }
    std::string_view rest = path ? path : "";
    while (!rest.empty()) {
      auto colon = rest.find(':');
      auto folder = std::filesystem::path(rest.substr(0, colon));
      if (!folder.empty() && runnable(folder / program)) return folder / program;
      rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
    }
  }
  return std::nullopt;
}

bool runnable(const std::filesystem::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace velmora::registration
