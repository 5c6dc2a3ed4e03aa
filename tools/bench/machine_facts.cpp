#include "machine_facts.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fd_io.h"

namespace velmora::bench {

namespace {

constexpr std::size_t kTouchBytes = 16 * 1024 * 1024;
constexpr int kTouchRepetitions = 5;

struct Touch {
  double ms;
  long faults;
};

std::string first_line(const char* file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line.empty() ? "unknown" : line;
}

// The bracketed word of a kernel mode line, "always [madvise] never" -> "madvise".
std::string selected(const std::string& line) {
  auto open = line.find('[');
  auto close = line.find(']', open);
  if (open == std::string::npos || close == std::string::npos) return line;
  return line.substr(open + 1, close - open - 1);
}

long own_minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_minflt;
}

// Maps fresh anonymous memory and writes one byte per page, as a relay filling a new buffer does.
Touch touch_fresh_buffer() {
  void* memory =
      mmap(nullptr, kTouchBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) fail("cannot map 16 MiB");
  auto* bytes = static_cast<volatile char*>(memory);
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const long faults_before = own_minor_faults();
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t at = 0; at < kTouchBytes; at += page) bytes[at] = 1;
  const auto elapsed = std::chrono::steady_clock::now() - start;
  Touch touch{std::chrono::duration<double, std::milli>(elapsed).count(),
              own_minor_faults() - faults_before};
  munmap(memory, kTouchBytes);
  return touch;
}

Touch median_touch() {
  std::vector<Touch> touches;
  for (int i = 0; i < kTouchRepetitions; ++i) touches.push_back(touch_fresh_buffer());
  std::ranges::sort(touches, {}, &Touch::ms);
  return touches[touches.size() / 2];
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

void print_cores() {
  cpu_set_t usable;
  CPU_ZERO(&usable);
  const int affinity = sched_getaffinity(0, sizeof usable, &usable) == 0 ? CPU_COUNT(&usable) : -1;
  std::printf("  cores: %u, %d usable by the benchmark; load average (1, 5, 15 min) %s\n",
              std::thread::hardware_concurrency(), affinity, load_average().c_str());
}

void print_kernel() {
  utsname name{};
  uname(&name);
  std::printf("  kernel: %s %s %s\n", name.sysname, name.release, name.machine);
  std::printf("  transparent huge pages: enabled %s, defrag %s\n",
              selected(first_line("/sys/kernel/mm/transparent_hugepage/enabled")).c_str(),
              selected(first_line("/sys/kernel/mm/transparent_hugepage/defrag")).c_str());
}

void print_touch_cost() {
  const Touch touch = median_touch();
  const double per_fault_us =
      touch.faults > 0 ? touch.ms * 1000 / static_cast<double>(touch.faults) : NAN;
  std::printf(
      "  fresh 16 MiB touched (mmap, one write per page, median of %d): %.1f ms, %ld minor "
      "faults, %.2f us per fault\n",
      kTouchRepetitions, touch.ms, touch.faults, per_fault_us);
  std::printf(
      "  a relay that fills fresh memory for each frame pays about %.1f ms per 1 MiB frame "
      "and %.1f ms per 16 MiB\n  frame for it; the \"minor faults/frame\" rows show "
      "whether it does (256 and 4096 per frame if so)\n",
      touch.ms / 16, touch.ms);
}

}  // namespace

void print_machine_facts() {
  std::printf("machine (the figures below depend on it):\n");
  print_cores();
  print_kernel();
  print_touch_cost();
  std::fflush(stdout);
}

}  // namespace velmora::bench
