// The scenario run: the checked-in seeds first, then new seeds until the budget is spent, on
// --jobs workers. A failure prints its seed, the rules it broke and the command that replays
// it, then the smallest scenario that the shrink steps found still failing.
#include <atomic>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <set>
#include <span>
#include <sstream>
#include <thread>

#include "scenario.h"
#include "temp_dir.h"

namespace velmora::scenarios {
using namespace driver;  // NOLINT(google-build-using-namespace)
namespace {

using namespace std::chrono_literals;

struct Options {
  HostSetup setup;
  std::string replay;  // the command line that runs the same build
  int seconds = 90;
  unsigned jobs = 2;
  std::optional<std::string> seed;
};

std::expected<Options, std::string> parse(std::span<char* const> args) {
  Options o;
  std::vector<char*> host_args;
  o.replay = args[0];
  for (char* arg : args.subspan(1)) {
    std::string_view text(arg);
    if (text.starts_with("--seconds=")) {
      o.seconds = std::stoi(std::string(text.substr(10)));
    } else if (text.starts_with("--jobs=")) {
      o.jobs = static_cast<unsigned>(std::max(1, std::stoi(std::string(text.substr(7)))));
    } else if (text.starts_with("--seed=")) {
      o.seed = std::string(text.substr(7));
    } else {
      host_args.push_back(arg);
      o.replay += " " + std::string(text);
    }
  }
  auto setup = HostSetup::from_args(host_args);
  if (!setup) return std::unexpected(setup.error());
  o.setup = std::move(*setup);
  return o;
}

std::vector<std::string> listed_seeds() {
  std::vector<std::string> out;
  std::ifstream in(VELMORA_SCENARIO_SEEDS);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string id;
    if (words >> id && !id.starts_with("#")) out.push_back(id);
  }
  return out;
}

std::vector<Failure> attempt(const Scenario& s, const HostSetup& setup) {
  try {
    return judge(s, run(s, setup), setup.platform);
  } catch (const std::exception& e) {
    return {{"runner", e.what()}};
  }
}

std::set<std::string> rules_of(const std::vector<Failure>& failures) {
  std::set<std::string> out;
  for (const Failure& f : failures) out.insert(f.rule);
  return out;
}

bool shares_a_rule(const std::vector<Failure>& failures, const std::set<std::string>& rules) {
  for (const Failure& f : failures) {
    if (rules.contains(f.rule)) return true;
  }
  return false;
}

// Greedy: each step that keeps one of the rules broken is kept. Bounded, since a timing fault
// may not come back at every run.
std::optional<Scenario> shrunk(const Scenario& s, const std::set<std::string>& rules,
                               const HostSetup& setup, Clock::time_point until) {
  constexpr int kMostRuns = 8;
  Scenario current = s;
  int runs = 0;
  for (bool progress = true; progress;) {
    progress = false;
    for (int step = 0; step < kShrinkSteps && runs < kMostRuns && Clock::now() < until; ++step) {
      auto smaller = shrink(current, step);
      if (!smaller) continue;
      ++runs;
      if (shares_a_rule(attempt(*smaller, setup), rules)) {
        current = std::move(*smaller);
        progress = true;
      }
    }
  }
  if (current.id == s.id) return std::nullopt;
  return current;
}

// The host run from a copy with no agent program beside it, which a launch request could start.
// One copy for all: a copy written while another worker starts a host could be held open in it.
HostSetup copied(const HostSetup& setup, const TempDir& folder) {
  auto copy = folder.path() / setup.executable.filename();
  std::filesystem::copy_file(setup.executable, copy);
  return setup.relocated(copy);
}

class Run {
 public:
  Run(Options options, const TempDir& folder)
      : o_(std::move(options)), setup_(copied(o_.setup, folder)), queue_(listed_seeds()) {}

  int go() {
    const auto started = Clock::now();
    end_ = started + std::chrono::seconds(o_.seconds);
    {
      std::vector<std::jthread> workers;
      for (unsigned i = 0; i < o_.jobs; ++i) workers.emplace_back([this] { work(); });
    }
    const double minutes = std::chrono::duration<double>(Clock::now() - started).count() / 60;
    std::cout << "scenarios: " << done_ << " in " << minutes * 60 << " s ("
              << static_cast<int>(done_ / minutes) << " per minute), " << failures_ << " failed";
    std::string rules;
    for (const auto& rule : broken_) rules += (rules.empty() ? "" : ", ") + rule;
    if (!failed_.empty()) std::cout << "; seeds " << failed_ << "; rules " << rules;
    std::cout << "\n";
    return failed_.empty() ? 0 : 1;
  }

  int replay(const std::string& id) {
    auto s = from_id(id);
    if (!s) return std::cerr << "scenarios: bad seed " << id << "\n", 2;
    History h = run(*s, setup_);
    auto failures = judge(*s, h, setup_.platform);
    std::cout << describe(*s) << "\n  ended: " << (h.status ? describe(*h.status) : "killed")
              << " at " << h.exit_at.count() << " ms, input end at "
              << (h.input_end_at ? h.input_end_at->count() : -1) << " ms, peak "
              << h.peak_kib / 1024 << " MiB, " << h.to_agent.size() << " frames to the agent, "
              << h.to_extension.size() << " to the extension\n";
    report(*s, failures, std::nullopt);
    return failures.empty() ? 0 : 1;
  }

 private:
  std::optional<std::string> next() {
    std::lock_guard lock(mutex_);
    if (Clock::now() >= end_) return std::nullopt;
    if (listed_ < queue_.size()) return queue_[listed_++];
    return std::to_string(fresh_() % 1'000'000'000);
  }

  void work() {
    while (auto id = next()) {
      auto s = from_id(*id);
      if (!s) continue;
      auto failures = attempt(*s, setup_);
      ++done_;
      if (failures.empty()) continue;
      // Shrinking costs runs: only the first failure of each rule is shrunk.
      report(*s, failures,
             first_of_a_rule(failures) ? shrunk(*s, rules_of(failures), setup_, end_ + 30s)
                                       : std::nullopt);
    }
  }

  bool first_of_a_rule(const std::vector<Failure>& failures) {
    std::lock_guard lock(mutex_);
    bool first = false;
    for (const Failure& f : failures) first = shrunk_rules_.insert(f.rule).second || first;
    return first;
  }

  void report(const Scenario& s, const std::vector<Failure>& failures,
              const std::optional<Scenario>& smaller) {
    if (failures.empty()) return;
    std::lock_guard lock(mutex_);
    ++failures_;
    failed_ += (failed_.empty() ? "" : " ") + s.id;
    std::ostringstream out;
    out << "FAIL seed " << s.id << ": " << describe(s) << "\n";
    for (const Failure& f : failures) {
      broken_.insert(f.rule);
      out << "  " << f.rule << ": " << f.what << "\n";
    }
    out << "  replay: " << o_.replay << " --seed=" << s.id << "\n";
    if (smaller) {
      out << "  shrunk: " << describe(*smaller) << "\n  replay: " << o_.replay
          << " --seed=" << smaller->id << "\n";
    }
    std::cout << out.str() << std::flush;
  }

  Options o_;
  HostSetup setup_;
  std::vector<std::string> queue_;
  std::size_t listed_ = 0;
  std::mt19937_64 fresh_{std::random_device{}()};
  Clock::time_point end_;
  std::mutex mutex_;
  std::atomic<int> done_{0};
  int failures_ = 0;
  std::string failed_;
  std::set<std::string> broken_, shrunk_rules_;
};

}  // namespace
}  // namespace velmora::scenarios

int main(int argc, char** argv) {
  using namespace velmora::scenarios;  // NOLINT(google-build-using-namespace)
  auto options = parse(std::span<char* const>(argv, static_cast<std::size_t>(argc)));
  if (!options) {
    std::cerr << "scenarios: " << options.error()
              << "\nusage: scenarios --host=PATH [--wine-loader=PATH --wine-prefix=DIR]"
                 " [--seconds=N] [--jobs=N] [--seed=S]\n";
    return 2;
  }
  auto folder = velmora::driver::TempDir::create();
  if (!folder) return std::cerr << "scenarios: " << folder.error() << "\n", 2;
  std::optional<std::string> seed = options->seed;
  Run run(std::move(*options), *folder);
  return seed ? run.replay(*seed) : run.go();
}
