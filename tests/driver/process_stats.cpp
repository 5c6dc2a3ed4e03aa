#include "process_stats.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace velmora::driver {

namespace {

std::string proc_path(pid_t pid, std::string_view leaf) {
  return "/proc/" + std::to_string(pid) + "/" + std::string(leaf);
}

// Field `number` of /proc/<pid>/stat, counted from 1 as proc(5) does; -1 when it cannot be read.
long stat_field(pid_t pid, int number) {
  std::ifstream in(proc_path(pid, "stat"));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto name_end = text.rfind(')');
  if (name_end == std::string::npos) return -1;
  // The command name (field 2) may hold spaces; the fields after its closing parenthesis do not.
  std::istringstream fields(text.substr(name_end + 1));
  std::string field;
  for (int i = 3; i <= number && fields >> field; ++i) {
    if (i == number) return std::stol(field);
  }
  return -1;
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
  const long ticks = stat_field(pid, 14) + stat_field(pid, 15);  // utime + stime
  return std::chrono::milliseconds(ticks * 1000 / sysconf(_SC_CLK_TCK));
}

long minor_faults(pid_t pid) {
  return stat_field(pid, 10);  // minflt, summed over the threads by the kernel
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

}  // namespace velmora::driver
