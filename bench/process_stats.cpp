#include "process_stats.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace velmora::bench {

namespace {

std::string proc_path(pid_t pid, std::string_view leaf) {
  return "/proc/" + std::to_string(pid) + "/" + std::string(leaf);
}

}  // namespace

long status_kib(pid_t pid, std::string_view field) {
  std::ifstream in(proc_path(pid, "status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::stol(line.substr(field.size() + 1));
    }
  }
  return -1;
}

void reset_peak(pid_t pid) {
  std::ofstream(proc_path(pid, "clear_refs")) << "5\n";
}

std::chrono::milliseconds cpu_time(pid_t pid) {
  std::ifstream in(proc_path(pid, "stat"));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold spaces; the fields after its closing parenthesis do not.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
  long user = 0;
  long system = 0;
  fields >> user >> system;
  const long ticks_per_second = sysconf(_SC_CLK_TCK);
  return std::chrono::milliseconds((user + system) * 1000 / ticks_per_second);
}

std::chrono::microseconds scheduled_time(pid_t pid) {
  long long total_ns = 0;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(proc_path(pid, "task"), error)) {
    std::ifstream in(task.path() / "schedstat");
    long long on_cpu_ns = 0;
    if (in >> on_cpu_ns) total_ns += on_cpu_ns;
  }
  return std::chrono::microseconds(total_ns / 1000);
}

}  // namespace velmora::bench
