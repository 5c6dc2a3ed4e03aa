// The torture run: for each scenario, one clean run under the preloaded shim counts the host's
// calls to each system function; then, for every one of those calls, a run fails that call alone
// (again with EINTR where the codec must retry at once). Every run must end by itself within a
// bound, with the status and the error line that the failure calls for, and with nothing on its
// standard output but whole, unchanged frames of the clean run.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "host_process.h"
#include "host_setup.h"
#include "temp_dir.h"
#include "test_agent.h"

namespace velmora::torture {

using namespace velmora::driver;  // NOLINT(google-build-using-namespace)
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view kPrefix = "velmora-web-host: ";
constexpr std::string_view kLinked = R"({"op":"linked"})";
constexpr std::string_view kLaunch = R"({"op":"launch"})";
constexpr std::string_view kLaunched = R"({"launched":true,"ok":true})";
constexpr std::string_view kNotLaunched = R"({"launched":false,"ok":true})";
// One frame of each direction is too large for a reader's own buffer, so it takes pages of its
// own.
const Bytes kLarge(100'000, 'L');
const std::vector<Bytes> kFromExtension = {R"({"n":1})", R"({"n":2})", kLarge, "[3]"};
const std::vector<Bytes> kFromAgent = {R"({"a":1})", kLarge, R"({"a":2})"};
constexpr Duration kRunBound = 15s;  // well beyond the connector's 8 s deadline
constexpr Duration kFramesBound = 10s;
constexpr unsigned kWorkers = 4;  // runs spend most of their time waiting

struct Setup {
  HostSetup host;
  fs::path shim;
};

Setup& setup() {
  static Setup instance;
  return instance;
}

// The functions the shim wraps, the error each fails with, and whether the host must retry an
// interrupted call at once (the codec's reads and writes; the connector's wait).
struct FunctionRow {
  const char* name;
  int error;
  bool retries_eintr;
};

constexpr FunctionRow kFunctions[] = {{"socket", ENOMEM, false},
                                      {"connect", ECONNRESET, false},
                                      {"poll", ENOMEM, true},
                                      {"getsockopt", ENOMEM, false},
                                      {"setsockopt", ENOMEM, false},
                                      {"fcntl", EIO, false},
                                      {"recv", ECONNRESET, true},
                                      {"send", ECONNRESET, true},
                                      {"sendmsg", ECONNRESET, true},
                                      // The owner lookup: a failure leaves the owner unknown.
                                      {"sendto", ENOBUFS, false},
                                      {"recvfrom", ENOBUFS, false},
                                      {"getsockname", ENOBUFS, false},
                                      {"getpeername", ENOTCONN, false},
                                      {"read", EIO, true},
                                      {"write", EPIPE, true},
                                      {"writev", EPIPE, true},
                                      {"open", EIO, false},
                                      {"fstat", EIO, false},
                                      {"stat", EIO, false},
                                      {"lstat", EIO, false},
                                      {"readlink", EIO, false},
                                      {"posix_spawn", ENOMEM, false},
                                      {"pthread_create", EAGAIN, false},
                                      {"malloc", ENOMEM, false},
                                      {"mmap", ENOMEM, false}};

enum class Scenario { Relay, LaunchNoAgent, LaunchWithAgent };

struct ScenarioRow {
  const char* name;
  Scenario kind;
};

// The injected failure as the shim logged it: which call, on which thread, on which descriptor
// (or, for fcntl, with which command).
struct Hit {
  std::string function;
  bool main_thread = false;
  long detail = 0;
  int error = 0;
};

struct Log {
  std::map<std::string, long> counts;
  std::optional<Hit> hit;
};

Log read_log(const fs::path& path) {
  Log log;
  std::ifstream in(path);
  for (std::string kind, name; in >> kind >> name;) {
    if (kind == "count") {
      in >> log.counts[name];
    } else {
      Hit hit{name};
      std::string thread;
      in >> thread >> hit.detail >> hit.error;
      hit.main_thread = thread == "main";
      log.hit = hit;
    }
  }
  return log;
}

struct Record {
  std::optional<ExitStatus> status;  // nothing: killed after the bound
  std::vector<Bytes> frames;
  Bytes torn;  // output bytes that are not a whole frame
  std::string errors;
  Log log;
};

// A fresh roaming folder and, where the scenario has one, a listening agent per run.
class Stage {
 public:
  Stage(Scenario scenario, const fs::path& host) : scenario_(scenario), host_(host) {
    auto tmp = TempDir::create();
    if (!tmp) throw std::runtime_error(tmp.error());
    tmp_ = std::move(*tmp);
    fs::create_directories(roaming());
    if (scenario == Scenario::LaunchNoAgent) return;
    AgentScript script;
    for (const Bytes& payload : kFromAgent) script.send_after_reply += frame(payload);
    auto agent = TestAgent::start({script});
    if (!agent) throw std::runtime_error(agent.error());
    agent_.emplace(std::move(*agent));
    if (auto published = agent_->publish(roaming(), "torture-token"); !published) {
      throw std::runtime_error(published.error());
    }
  }

  Record run(const EnvChanges& shim_env) {
    Command command{{host_.string()}, {{"XDG_CONFIG_HOME", roaming().string()}}};
    command.env.insert(command.env.end(), shim_env.begin(), shim_env.end());
    command.env.emplace_back("VELMORA_TORTURE_LOG", log_path().string());
    auto host = HostProcess::start(command);
    if (!host) throw std::runtime_error(host.error());
    Record run;
    converse(*host, run.frames);
    auto status = host->wait(kRunBound);
    if (status) run.status = *status;
    for (auto more = host->read_frame(1s); more; more = host->read_frame(1s)) {
      run.frames.push_back(*more);
    }
    run.torn = host->unread_output();
    run.errors = host->error_output();
    run.log = read_log(log_path());
    return run;
  }

 private:
  fs::path roaming() const { return tmp_->path() / "roaming"; }
  fs::path log_path() const { return tmp_->path() / "shim.log"; }

  // The extension's side: frames in, frames out as far as the host gets. The relay ends when
  // the extension closes its output; a launch request ends by itself.
  void converse(HostProcess& host, std::vector<Bytes>& frames) const {
    bool relay = scenario_ == Scenario::Relay;
    for (const Bytes& payload : relay ? kFromExtension : std::vector<Bytes>{Bytes(kLaunch)}) {
      (void)host.write_frame(payload, 2s);
    }
    std::size_t wanted = relay ? 1 + kFromAgent.size() + kFromExtension.size() : 1;
    Deadline deadline(kFramesBound);
    while (frames.size() < wanted) {
      auto got = host.read_frame(Duration(deadline.poll_ms()));
      if (!got) break;
      frames.push_back(*got);
    }
    if (relay) host.close_stdin();
  }

  Scenario scenario_;
  fs::path host_;
  std::optional<TempDir> tmp_;
  std::optional<TestAgent> agent_;
};

// What the contract gives for a failure.
enum class Expect {
  Normal,         // the clean run's outcome: the failure was retried or is ignored
  Quiet,          // a background thread ended the process: status 0, no line of its own
  Failed,         // status 1 and one line with `text`
  QuietOrFailed,  // the forwarder's end races the main thread's read of the shut connection
  Abnormal,       // status 101; its report contains `text`, or may be absent when `text` is empty
  Survived,       // an allocation failed: handled as the step's own failure, or status 101
  NoLaunch,       // launch path given up before the start: reply launched false, no line
  NotLaunched,    // the start failed: "not launched" line, reply launched false
};

struct Expectation {
  Expect expect;
  std::string text{};
};

std::string os_text(int error) {
  return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
}

Expectation expectation_for(const Hit& hit) {
  const std::string& f = hit.function;
  auto one_of = [&](std::initializer_list<std::string_view> names) {
    for (std::string_view name : names) {
      if (f == name) return true;
    }
    return false;
  };
  if (hit.error == EINTR) return {Expect::Normal};
  if (f == "malloc" || f == "mmap") return {Expect::Survived};
  if (f == "pthread_create") return {Expect::Abnormal, "failed to spawn thread"};
  if (f == "posix_spawn") return {Expect::NotLaunched};
  if (one_of({"readlink", "lstat", "stat"})) return {Expect::NoLaunch};
  if (!hit.main_thread && f == "read") return {Expect::Quiet};
  if (!hit.main_thread) return {Expect::QuietOrFailed, "failed to fill whole buffer"};
  if (f == "fcntl" && hit.detail == F_DUPFD_CLOEXEC) return {Expect::Failed, os_text(hit.error)};
  if (one_of({"write", "writev"}) && hit.detail == 2) return {Expect::Abnormal};
  if (one_of({"recv", "send", "sendmsg", "write", "writev"})) {
    return {Expect::Failed, os_text(hit.error)};
  }
  // The connector's steps are retried; the rest (pipe size, no-delay, ...) are ignored.
  return {Expect::Normal};
}

std::vector<Bytes> clean_frames(Scenario scenario) {
  switch (scenario) {
    case Scenario::Relay: {
      std::vector<Bytes> frames{Bytes(kLinked)};
      frames.insert(frames.end(), kFromAgent.begin(), kFromAgent.end());
      frames.insert(frames.end(), kFromExtension.begin(), kFromExtension.end());
      return frames;
    }
    case Scenario::LaunchNoAgent:
      return {Bytes(kLaunched)};
    case Scenario::LaunchWithAgent:
      break;
  }
  return {Bytes(kNotLaunched)};
}

class Judge {
 public:
  Judge(Scenario scenario, const fs::path& agent) : scenario_(scenario) {
    std::string path = fs::canonical(agent.parent_path()) / agent.filename();
    if (scenario == Scenario::LaunchNoAgent) {
      launch_line_ = std::string(kPrefix) + "agent launched (" + path + ")\n";
    }
    not_launched_line_ = std::string(kPrefix) + "agent not launched (" + path + ")\n";
  }

  // Nothing when the run did what `expected` says; otherwise what it did wrong.
  std::optional<std::string> judge(const Record& run, const Expectation& expected) const {
    if (!run.status) return "did not end within " + std::to_string(kRunBound.count()) + " ms";
    if (run.status->kind == ExitStatus::Kind::Signalled) return "died by " + describe(*run.status);
    if (!run.torn.empty()) return "a torn frame on standard output";
    const bool launch_outcome =
        expected.expect == Expect::NoLaunch || expected.expect == Expect::NotLaunched;
    auto frames =
        launch_outcome ? std::vector<Bytes>{Bytes(kNotLaunched)} : clean_frames(scenario_);
    if (!is_prefix(run.frames, frames)) return "a frame on standard output that was never sent";
    if (!outcome_holds(run, expected, frames)) return "not the outcome the failure calls for";
    return std::nullopt;
  }

 private:
  static bool is_prefix(const std::vector<Bytes>& got, const std::vector<Bytes>& all) {
    return got.size() <= all.size() && std::equal(got.begin(), got.end(), all.begin());
  }

  static std::string line(std::string_view text) {
    return std::string(kPrefix) + std::string(text) + "\n";
  }

  bool ended(const Record& run, int status) const {
    return run.status == ExitStatus::exited(status);
  }

  // The launch line may already stand when a later failure ends the run.
  bool errors_are(const Record& run, const std::string& after_launch_line) const {
    return run.errors == after_launch_line || run.errors == launch_line_ + after_launch_line;
  }

  bool outcome_holds(const Record& run, const Expectation& expected,
                     const std::vector<Bytes>& frames) const {
    const Judge& self = *this;
    auto quiet = [&] { return self.ended(run, 0) && self.errors_are(run, ""); };
    auto failed = [&] { return self.ended(run, 1) && self.errors_are(run, line(expected.text)); };
    switch (expected.expect) {
      case Expect::Normal:
        return ended(run, 0) && run.errors == launch_line_ && run.frames == frames;
      case Expect::Quiet:
        return quiet();
      case Expect::Failed:
        // A call after the last frame races the extension's end, which ends the run quietly.
        return failed() || (run.frames == frames && quiet());
      case Expect::QuietOrFailed:
        return quiet() || failed();
      case Expect::Abnormal:
        return ended(run, 101) && abnormal_report(run.errors, expected.text);
      case Expect::Survived:
        return outcome_holds(run, {Expect::Normal}, frames) ||
               (ended(run, 101) && abnormal_report(run.errors, ""));
      case Expect::NoLaunch:
        return ended(run, 0) && run.errors.empty() && run.frames == frames;
      case Expect::NotLaunched:
        return ended(run, 0) && run.errors == not_launched_line_ && run.frames == frames;
    }
    return false;
  }

  // After the launch line, if any: one line that holds `text`; or nothing when `text` is empty.
  bool abnormal_report(std::string_view errors, std::string_view text) const {
    if (!launch_line_.empty() && errors.starts_with(launch_line_)) {
      errors.remove_prefix(launch_line_.size());
    }
    if (errors.empty()) return text.empty();
    return errors.starts_with(kPrefix) && errors.find('\n') == errors.size() - 1 &&
           errors.find(text) != std::string_view::npos;
  }

  Scenario scenario_;
  std::string launch_line_;
  std::string not_launched_line_;
};

std::string describe_run(const Record& run) {
  std::ostringstream out;
  out << (run.status ? describe(*run.status) : "still running (killed)") << ", "
      << run.frames.size() << " frame(s)" << (run.torn.empty() ? "" : " and a torn one")
      << ", error stream " << testing::PrintToString(run.errors);
  return out.str();
}

struct Job {
  std::string function;
  long call;
  int error;
};

class TortureTest : public testing::TestWithParam<ScenarioRow> {};

TEST_P(TortureTest, EveryCallFailedInTurn) {
  const Scenario scenario = GetParam().kind;
  auto place = TempDir::create();
  ASSERT_TRUE(place) << place.error();
  // A copy of the host beside a program that stands in for the agent it may start.
  fs::path host = place->path() / "velmora-web-host";
  fs::copy_file(setup().host.executable, host);
  fs::path agent = place->path() / setup().host.agent_file_name();
  fs::copy_file(setup().host.probe, agent);
  const Judge judge(scenario, agent);
  const EnvChanges preload{{"LD_PRELOAD", setup().shim.string()}};

  auto started = Clock::now();
  // How many calls a clean run makes varies with how the frames happen to arrive: the most
  // that a few clean runs made is taken, and a failure never reached leaves a clean run.
  std::map<std::string, long> counts;
  for (int i = 0; i < 3; ++i) {
    Record clean = Stage(scenario, host).run(preload);
    ASSERT_EQ(judge.judge(clean, {Expect::Normal}), std::nullopt) << describe_run(clean);
    for (const auto& [name, calls] : clean.log.counts) counts[name] = std::max(counts[name], calls);
  }

  std::vector<Job> jobs;
  long points = 0;
  std::ostringstream per_function;
  for (const FunctionRow& row : kFunctions) {
    long calls = counts[row.name];
    points += calls;
    if (calls > 0) per_function << " " << row.name << "=" << calls;
    for (long call = 1; call <= calls; ++call) {
      jobs.push_back({row.name, call, row.error});
      if (row.retries_eintr) jobs.push_back({row.name, call, EINTR});
    }
  }

  std::mutex mutex;
  std::vector<std::string> faults;
  long fired = 0;
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < jobs.size(); i = next++) {
      const Job& job = jobs[i];
      EnvChanges env = preload;
      env.emplace_back("VELMORA_TORTURE_FAIL", job.function + ":" + std::to_string(job.call));
      env.emplace_back("VELMORA_TORTURE_ERRNO", std::to_string(job.error));
      Record run;
      try {
        run = Stage(scenario, host).run(env);
      } catch (const std::exception& e) {
        std::lock_guard lock(mutex);
        faults.push_back(job.function + " call " + std::to_string(job.call) + ": " + e.what());
        continue;
      }
      Expectation expected = run.log.hit ? expectation_for(*run.log.hit) : Expectation{};
      auto wrong = judge.judge(run, expected);
      std::lock_guard lock(mutex);
      fired += run.log.hit ? 1 : 0;
      if (!wrong) continue;
      std::ostringstream fault;
      fault << job.function << " call " << job.call << " failed with " << strerrorname_np(job.error)
            << (run.log.hit
                    ? (run.log.hit->main_thread ? " on the main thread" : " on another thread")
                    : " (not reached)")
            << ": " << *wrong << "; the host: " << describe_run(run);
      faults.push_back(fault.str());
    }
  };
  {
    std::vector<std::jthread> workers;
    for (unsigned w = 0; w < kWorkers; ++w) workers.emplace_back(work);
  }

  auto seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::cout << GetParam().name << ": " << points << " injection points" << per_function.str()
            << "; " << jobs.size() << " runs (" << fired << " reached their call) in " << seconds
            << " s; " << faults.size() << " fault(s)\n";
  for (const std::string& fault : faults) ADD_FAILURE() << fault;
}

const ScenarioRow kScenarios[] = {{"Relay", Scenario::Relay},
                                  {"LaunchNoAgent", Scenario::LaunchNoAgent},
                                  {"LaunchWithAgent", Scenario::LaunchWithAgent}};

struct NameOfRow {
  std::string operator()(const testing::TestParamInfo<ScenarioRow>& row) const {
    return row.param.name;
  }
};

INSTANTIATE_TEST_SUITE_P(Scenarios, TortureTest, testing::ValuesIn(kScenarios), NameOfRow());

}  // namespace
}  // namespace velmora::torture

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::vector<char*> rest;
  for (char* arg : std::span(argv + 1, static_cast<std::size_t>(argc - 1))) {
    std::string_view text(arg);
    if (text.starts_with("--shim=")) {
      velmora::torture::setup().shim = std::filesystem::absolute(text.substr(7));
    } else {
      rest.push_back(arg);
    }
  }
  auto host = velmora::driver::HostSetup::from_args(rest);
  if (host) {
    velmora::torture::setup().host = std::move(*host);
  } else if (!GTEST_FLAG_GET(list_tests)) {
    std::cerr << "torture_tests: " << host.error()
              << "\nusage: torture_tests [gtest options] --host=PATH --probe=PATH --shim=PATH\n";
    return 2;
  }
  return RUN_ALL_TESTS();
}
