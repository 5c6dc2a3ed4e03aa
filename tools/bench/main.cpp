// relay_bench: the host against socat and a direct connection, on the same byte streams in the
// same run. Prints the command, the machine facts the figures depend on, and one table of
// medians. Usage:
//   relay_bench [--host=PATH] [--baseline=PATH] [--reps=N] [--only=host,baseline,socat,direct]
//              [--sizes=64,4096,...] [--ways=ext-agent,agent-ext] [--no-round-trips] [--scale=N]
// [--pin]
// --baseline runs another build of the host beside it, alternating with it in every
// repetition, so that a before/after comparison shares the machine's state; --pin puts the
// relay and the benchmark on processors of their own.
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fd_io.h"
#include "frame_length.h"
#include "frame_traffic.h"
#include "machine_facts.h"
#include "process_stats.h"
#include "relay_paths.h"
#include "table.h"
#include "temp_dir.h"
#include "test_agent.h"

namespace velmora::bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using driver::cpu_time;
using driver::minor_faults;
using driver::reset_peak;
using driver::scheduled_time;
using driver::status_kib;

struct Size {
  std::size_t bytes;
  const char* label;
  std::uint64_t frames;  // per run: enough for a run of a tenth of a second or more
};

constexpr Size kSizes[] = {{64, "64 B", 200'000},
                           {4096, "4 KiB", 32'768},
                           {65536, "64 KiB", 2048},
                           {1 << 20, "1 MiB", 128},
                           {MAX_FRAME_LEN, "16 MiB", 16}};
// From this size on a frame no longer fits the host's reading buffer: its page faults and
// mapping calls are reported.
constexpr std::size_t kLargeFrame = 1 << 16;
constexpr std::uint64_t kRoundTrips = 10'000;
constexpr auto kIdle = 2s;
// A case that takes longer than this has hung: the run ends rather than waiting for ever.
constexpr unsigned kCaseLimitSeconds = 120;

struct Options {
  std::filesystem::path host;
  std::filesystem::path baseline;
  int repetitions = 5;
  std::vector<PathKind> paths{PathKind::Host, PathKind::Socat, PathKind::Direct};
  std::vector<std::size_t> sizes;  // frame sizes to run; empty runs all of them
  bool to_agent = true;            // the directions to stream, both unless --ways names one
  bool to_extension = true;
  bool round_trips = true;
  int scale = 1;     // multiplies the frames per run, for profiling
  bool pin = false;  // the relay on one processor and the benchmark on another
};

double mib(long kib) {
  return kib < 0 ? NAN : static_cast<double>(kib) / 1024.0;
}

double rss_mib(pid_t pid) {
  return mib(status_kib(pid, "VmRSS"));
}

double peak_mib(pid_t pid) {
  return mib(status_kib(pid, "VmHWM"));
}

double ms(std::chrono::nanoseconds time) {
  return std::chrono::duration<double, std::milli>(time).count();
}

// The peak from here on: once the relay has let go of what the last run left it beyond what it
// keeps (unmapping a backlog's buffers takes a few ms), so that no run is charged for it.
void reset_peak_when_settled(pid_t pid) {
  std::this_thread::sleep_for(50ms);
  reset_peak(pid);
}

struct Transfer {
  std::chrono::nanoseconds elapsed;
  // Sent and not yet read by the far end when the sender wrote its last byte: what the path
  // held then, in the relay and in its pipe and socket buffers.
  std::uint64_t behind = 0;
};

// Sends from one end while the other end checks; the time runs until the last frame is checked.
Transfer timed_transfer(int from, int to, const Size& size, double rate = 0) {
  alarm(kCaseLimitSeconds);
  const auto start = Clock::now();
  std::atomic<std::uint64_t> read = 0;
  Transfer transfer;
  std::thread sender([&] {
    send_frames(from, size.bytes, size.frames, rate);
    transfer.behind = size.frames * (size.bytes + LENGTH_FIELD) - read;
  });
  expect_frames(to, size.bytes, size.frames, &read);
  transfer.elapsed = Clock::now() - start;
  sender.join();
  alarm(0);
  return transfer;
}

double per_frame(long count, const Size& size) {
  return static_cast<double>(count) / static_cast<double>(size.frames);
}

struct Direction {
  const char* label;
  int from;
  int to;
};

// One stream of frames one way, with the relay's minor page faults per frame (a relay that reuses
// its buffers takes none) and for the largest frames its peak resident memory.
void measure(Table& table, std::size_t column, const Path& path, const Size& size,
             const Direction& d) {
  const auto pid = path.relay_pid();
  const bool largest = size.bytes == kSizes[std::size(kSizes) - 1].bytes;
  if (largest && pid) reset_peak_when_settled(*pid);
  const long faults_before = pid ? minor_faults(*pid) : 0;
  const Transfer transfer = timed_transfer(d.from, d.to, size);
  double seconds = std::chrono::duration<double>(transfer.elapsed).count();
  const std::string row = std::string(d.label) + " " + size.label;
  double bytes = static_cast<double>(size.bytes * size.frames);
  table.add(row + " MB/s", column, bytes / seconds / 1e6);
  table.add(row + " frames/s", column, static_cast<double>(size.frames) / seconds);
  // Small frames too: a heap trimmed while they stream takes its pages again.
  table.add("minor faults/frame " + row, column,
            pid ? per_frame(minor_faults(*pid) - faults_before, size) : NAN);
  if (!largest) return;
  table.add("peak RSS " + row + " (MiB)", column, pid ? peak_mib(*pid) : NAN);
  table.add("behind at the last send " + row + " (MiB)", column,
            static_cast<double>(transfer.behind) / (1 << 20));
  // At full speed a relay holds the backlog that builds up where its far side is the slower;
  // sent at half the speed just measured, the far side keeps up, and it holds only the frames on
  // their way.
  if (pid) reset_peak_when_settled(*pid);
  timed_transfer(d.from, d.to, size, bytes / seconds / 2);
  table.add("peak RSS " + row + " at half speed (MiB)", column, pid ? peak_mib(*pid) : NAN);
}

void throughput(Table& table, std::size_t column, const Path& path, const Size& size,
                const Options& options) {
  if (options.to_agent)
    measure(table, column, path, size, {"ext->agent", path.extension_out(), path.agent()});
  if (options.to_extension)
    measure(table, column, path, size, {"agent->ext", path.agent(), path.extension_in()});
}

void latency(Table& table, std::size_t column, const Path& path) {
  alarm(kCaseLimitSeconds);
  std::thread echo([&] { echo_frames(path.agent(), 64, kRoundTrips); });
  auto times = round_trips(path.extension_out(), path.extension_in(), 64, kRoundTrips);
  echo.join();
  alarm(0);
  std::sort(times.begin(), times.end());
  auto at = [&](double share) {
    return times[static_cast<std::size_t>(share * static_cast<double>(times.size() - 1))];
  };
  table.add("round trip 64 B median (us)", column, ms(at(0.5)) * 1000);
  table.add("round trip 64 B p99 (us)", column, ms(at(0.99)) * 1000);
}

// Resident memory and CPU time of a linked relay that carries nothing.
void idle(Table& table, std::size_t column, const Path& path) {
  auto pid = path.relay_pid();
  std::this_thread::sleep_for(100ms);
  table.add("RSS idle, linked (MiB)", column, pid ? rss_mib(*pid) : NAN);
  if (!pid) return;
  auto cpu_before = cpu_time(*pid);
  auto scheduled_before = scheduled_time(*pid);
  std::this_thread::sleep_for(kIdle);
  table.add("CPU idle 2 s, /proc stat (ms)", column,
            static_cast<double>((cpu_time(*pid) - cpu_before).count()));
  table.add("CPU idle 2 s, schedstat (us)", column,
            static_cast<double>((scheduled_time(*pid) - scheduled_before).count()));
}

// Resident memory of the still-running relay once the traffic has stopped: soon after, and after
// a second of idleness, by when memory taken for large frames should have gone back.
void after_the_runs(Table& table, std::size_t column, const Path& path) {
  auto pid = path.relay_pid();
  std::this_thread::sleep_for(100ms);
  table.add("RSS 0.1 s after the runs (MiB)", column, pid ? rss_mib(*pid) : NAN);
  std::this_thread::sleep_for(900ms);
  table.add("RSS idle 1 s after the runs (MiB)", column, pid ? rss_mib(*pid) : NAN);
}

bool selected(const Options& options, const Size& size) {
  return options.sizes.empty() ||
         std::ranges::find(options.sizes, size.bytes) != options.sizes.end();
}

void run_path(Table& table, PathKind kind, const PathConfig& config, AgentListener& agent,
              const Options& options) {
  const auto column = static_cast<std::size_t>(kind);
  alarm(kCaseLimitSeconds);
  Path path = Path::start(kind, config, agent);
  alarm(0);
  table.add("start -> first message at agent (ms)", column, ms(path.to_first_message));
  table.add("start -> linked notice (ms)", column, path.to_linked ? ms(*path.to_linked) : NAN);
  idle(table, column, path);
  for (const auto& size : kSizes) {
    if (!selected(options, size)) continue;
    throughput(
        table, column, path,
        Size{size.bytes, size.label, size.frames * static_cast<std::uint64_t>(options.scale)},
        options);
  }
  if (options.round_trips) latency(table, column, path);
  after_the_runs(table, column, path);
}

struct Mapped {
  long calls = 0;
  double mib = 0;  // asked for by mmap
};

// The mmap and munmap calls in a trace of them, and the memory the mmap calls asked for.
Mapped count_mapped(const std::filesystem::path& trace) {
  static const std::regex mmap_call(R"(mmap\([^,]*, (\d+),)");
  Mapped mapped;
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    if (std::regex_search(line, match, mmap_call)) mapped.mib += std::stod(match[1]) / (1 << 20);
    if (line.find("map(") != std::string::npos) ++mapped.calls;
  }
  return mapped;
}

// The host's mmap and munmap calls over its whole life with `frames` frames from the
// extension, traced by strace (seccomp-filtered, so only those calls stop the host).
Mapped mapping_calls(PathKind kind, PathConfig config, AgentListener& agent, Size size) {
  auto dir = driver::TempDir::create();
  if (!dir) fail(dir.error());
  const auto trace = dir->path() / "strace.txt";
  config.wrapper = {"strace", "--seccomp-bpf",     "-f", "-qq",
                    "-e",     "trace=mmap,munmap", "-o", trace.string()};
  {
    alarm(kCaseLimitSeconds);
    Path path = Path::start(kind, config, agent);
    alarm(0);
    timed_transfer(path.extension_out(), path.agent(), size);
  }  // the host has ended, and strace has written its trace
  return count_mapped(trace);
}

// Mapping calls per frame from the extension, beyond those of a run without frames, and the
// memory they mapped: a relay that reuses its buffers maps only for its first few frames, so
// both fall as the run grows. Counted once, since counts do not vary.
void count_mapping_calls(Table& table, const PathConfig& config, AgentListener& agent,
                         const Options& options) {
  if (!options.to_agent) return;
  if (std::system("strace -V >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "no strace: the mapping calls are not counted\n");
    return;
  }
  for (PathKind kind : options.paths) {
    if (!is_host(kind)) continue;
    const Mapped without = mapping_calls(kind, config, agent, {kSizes[0].bytes, "", 0});
    for (const auto& size : kSizes) {
      if (size.bytes < kLargeFrame || !selected(options, size)) continue;
      std::fprintf(stderr, "counting mapping calls: %s, %s\n", name_of(kind), size.label);
      const Mapped with = mapping_calls(kind, config, agent, size);
      const auto column = static_cast<std::size_t>(kind);
      table.add(std::string("mapping calls/frame ext->agent ") + size.label, column,
                per_frame(with.calls - without.calls, size));
      table.add(std::string("MiB mapped/frame ext->agent ") + size.label, column,
                (with.mib - without.mib) / static_cast<double>(size.frames));
    }
  }
}

std::filesystem::path default_host() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "velmora-web-host";
}

Options parse_options(int argc, char** argv) {
  Options options;
  options.host = default_host();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.starts_with("--host=")) {
      options.host = arg.substr(7);
    } else if (arg.starts_with("--baseline=")) {
      options.baseline = arg.substr(11);
    } else if (arg.starts_with("--reps=")) {
      options.repetitions = std::max(1, std::stoi(arg.substr(7)));
    } else if (arg.starts_with("--only=")) {
      options.paths.clear();
      for (PathKind kind :
           {PathKind::Host, PathKind::Baseline, PathKind::Socat, PathKind::Direct}) {
        if (arg.find(name_of(kind)) != std::string::npos) options.paths.push_back(kind);
      }
    } else if (arg.starts_with("--ways=")) {
      options.to_agent = arg.find("ext-agent") != std::string::npos;
      options.to_extension = arg.find("agent-ext") != std::string::npos;
    } else if (arg == "--no-round-trips") {
      options.round_trips = false;
    } else if (arg == "--pin") {
      options.pin = true;
    } else if (arg.starts_with("--scale=")) {
      options.scale = std::max(1, std::stoi(arg.substr(8)));
    } else if (arg.starts_with("--sizes=")) {
      std::istringstream list(arg.substr(8));
      for (std::string item; std::getline(list, item, ',');)
        options.sizes.push_back(std::stoul(item));
    } else {
      fail("unknown argument " + arg +
           " (use --host=PATH, --baseline=PATH, --reps=N, --only=host,baseline,socat,direct,\n"
           " --sizes=64,4096,..., --ways=ext-agent,agent-ext, --no-round-trips, --scale=N, --pin)");
    }
  }
  // The baseline runs beside the host in each repetition, or not at all without a build.
  std::erase(options.paths, PathKind::Baseline);
  if (!options.baseline.empty()) {
    auto host = std::ranges::find(options.paths, PathKind::Host);
    options.paths.insert(host == options.paths.end() ? host : host + 1, PathKind::Baseline);
  }
  return options;
}

// Where the scheduler puts the relay's thread that writes a stream and the benchmark's thread
// that reads it decides some figures: 4 KiB frames to the extension ran at about 1,700 MB/s with
// the two on different processors and at 3,300-4,300 on one, from one repetition to the next.
// Pinned, the relay runs on the first processor the benchmark may use and the benchmark on the
// second, for a comparison that placement does not sway.
std::vector<std::string> pin_apart() {
  cpu_set_t usable;
  if (sched_getaffinity(0, sizeof usable, &usable) != 0) fail("sched_getaffinity failed");
  std::vector<std::size_t> cpus;
  for (std::size_t cpu = 0; cpu < std::size_t{CPU_SETSIZE} && cpus.size() < 2; ++cpu) {
    if (CPU_ISSET(cpu, &usable)) cpus.push_back(cpu);
  }
  if (cpus.size() < 2) fail("--pin needs two processors");
  cpu_set_t own;
  CPU_ZERO(&own);
  CPU_SET(cpus[1], &own);
  if (sched_setaffinity(0, sizeof own, &own) != 0) fail("sched_setaffinity failed");
  std::printf("  pinned: the relay on processor %zu, the benchmark on processor %zu\n", cpus[0],
              cpus[1]);
  return {"taskset", "-c", std::to_string(cpus[0])};
}

// The command that made the figures, to go with them wherever they are quoted.
void print_command(int argc, char** argv) {
  std::printf("command:");
  for (int i = 0; i < argc; ++i) std::printf(" %s", argv[i]);
  std::printf("\n");
}

int run(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options options = parse_options(argc, argv);
  print_command(argc, argv);
  print_machine_facts();
  prepare_frames();
  // Before any thread starts, so that every one of the benchmark's stays where it is put.
  std::vector<std::string> placement = options.pin ? pin_apart() : std::vector<std::string>{};
  auto roaming = driver::TempDir::create();
  if (!roaming) fail(roaming.error());
  AgentListener agent;
  PathConfig config{options.host, options.baseline, {}, placement, roaming->path(), "bench-token"};
  auto published = driver::write_file(driver::bridge_file_path(roaming->path()),
                                      driver::bridge_json(agent.port(), config.token));
  if (!published) fail(published.error());
  Table table;
  for (int rep = 1; rep <= options.repetitions; ++rep) {
    // The host and the baseline take turns at going first: the path that runs first in a
    // repetition was measured slower at times (4 KiB frames to the extension at about half the
    // speed in some repetitions, whichever build it was), which alone made one build look slower.
    std::vector<PathKind> order = options.paths;
    if (rep % 2 == 0) {
      auto host = std::ranges::find(order, PathKind::Host);
      auto baseline = std::ranges::find(order, PathKind::Baseline);
      if (host != order.end() && baseline != order.end()) std::iter_swap(host, baseline);
    }
    for (PathKind kind : order) {
      std::fprintf(stderr, "repetition %d/%d: %s\n", rep, options.repetitions, name_of(kind));
      run_path(table, kind, config, agent, options);
    }
  }
  count_mapping_calls(table, config, agent, options);
  table.print(options.repetitions);
  return 0;
}

}  // namespace

}  // namespace velmora::bench

int main(int argc, char** argv) {
  return velmora::bench::run(argc, argv);
}
