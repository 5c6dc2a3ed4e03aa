// The oracle: judges a whole history by the ending rules. Every event that can decide the
// host's end is listed with the moment it happened, the endings it allows, and (when nothing
// can hold it up) the time by which the host must have ended. The host's end must be allowed by
// some event that had happened, and must come before the earliest deadline.
#include <algorithm>
#include <cstdio>

#include "scenario.h"

namespace velmora::scenarios {
using namespace driver;  // NOLINT(google-build-using-namespace)

namespace {

using namespace std::chrono_literals;
constexpr std::string_view kPrefix = "velmora-web-host: ";
constexpr std::string_view kLinked = R"({"op":"linked"})";
const Bytes kLaunched = R"({"launched":true,"ok":true})";
const Bytes kNotLaunched = R"({"launched":false,"ok":true})";

enum class Line { None, Any, Exact };

struct Outcome {
  int status;
  Line line = Line::None;
  std::string text{};
};

struct Event {
  std::string name;
  Duration at;
  std::optional<Duration> deadline;  // nothing: it may be held up, and need not decide
  std::vector<Outcome> outcomes;
};

std::string line(std::string_view text) {
  return std::string(kPrefix) + std::string(text) + "\n";
}

std::string seconds(Duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", std::chrono::duration<double>(d).count());
  return text;
}

std::string str(std::size_t n) {
  return std::to_string(n);
}

bool linked(const History& h) {
  return !h.to_extension.empty() && h.to_extension.front() == seen(kLinked);
}

bool launch_replied(const History& h) {
  return !h.to_extension.empty() && (h.to_extension.front() == seen(kLaunched) ||
                                     h.to_extension.front() == seen(kNotLaunched));
}

// One error line, whatever its text (the parser's, or the system's), and not a launch line.
bool one_line(std::string_view errors) {
  return errors.starts_with(kPrefix) && errors.find('\n') == errors.size() - 1 &&
         !errors.starts_with(line("agent "));
}

bool fits(const Outcome& o, const History& h, const Scenario& s) {
  if (h.status != ExitStatus::exited(o.status)) return false;
  if (s.errors != ErrorStream::Normal) return true;  // a stuck or absent stream shows nothing
  std::string_view errors = h.errors;
  // A launch line may already stand.
  if (launch_replied(h) && errors.starts_with(line("agent "))) {
    errors.remove_prefix(errors.find('\n') + 1);
  }
  switch (o.line) {
    case Line::None:
      return errors.empty();
    case Line::Any:
      return one_line(errors);
    case Line::Exact:
      return errors == line(o.text);
  }
  return false;
}

struct Bounds {
  Duration slack, startup;
};

Bounds bounds_for(HostPlatform platform, const History& h, const Scenario& s) {
  Duration slack = platform == HostPlatform::Wine ? 2500ms : 1s;
  if (s.load > 0) slack += 500ms;
  return {slack, h.startup};
}

const Outcome kQuiet{0};

void handshake_event(const Scenario& s, const History& h, Bounds b, std::vector<Event>& out) {
  if (!h.reply_at || accepts(s)) return;
  std::vector<Outcome> outcomes;
  switch (s.agent) {
    case Agent::Refuses:
      outcomes = {{1, Line::Exact, "agent refused the connection"}};
      break;
    case Agent::ClosesAfterHello:
      outcomes = {{1, Line::Exact, "failed to fill whole buffer"}};
      break;
    default:
      outcomes = {{1, Line::Any}};
      break;  // the parser's or the system's text
  }
  std::optional<Duration> deadline;
  // Judging a large reply takes time of its own: a second per 4 MiB, generously.
  const Duration judging = Duration(s.reply_size * 1000 / (4 << 20));
  if (h.reply_done && s.errors != ErrorStream::Stuck) {
    deadline = *h.reply_done + 1s + b.slack + judging;
  }
  out.push_back({"the agent's answer to the hello", *h.reply_at, deadline, outcomes});
}

void agent_end_event(const Scenario& s, const History& h, Bounds b, std::vector<Event>& out) {
  if (!h.agent_end_at) return;
  if (h.agent_bad_length) {
    out.push_back({"a bad length from the agent",
                   *h.agent_end_at,
                   std::nullopt,
                   {{1, Line::Exact, "bad frame length"}}});
  } else {
    // The forwarder may meet the closed connection first, and end quietly.
    Outcome gone = s.agent_end == AgentEnd::Reset
                       ? Outcome{1, Line::Any}
                       : Outcome{1, Line::Exact, "failed to fill whole buffer"};
    out.push_back({"the agent's end", *h.agent_end_at, std::nullopt, {gone, kQuiet}});
  }
  // Only a host that reads on: one whose output is read at once, whose line is not stuck.
  if (s.ext_reads == Pace::Fast && s.errors != ErrorStream::Stuck) {
    out.back().deadline = *h.agent_end_at + 1s + b.slack;
  }
}

std::vector<Event> events(const Scenario& s, const History& h, Bounds b) {
  std::vector<Event> out;
  if (h.input_end_at) {
    out.push_back({"the end of input", *h.input_end_at, *h.input_end_at + 1s + b.slack, {kQuiet}});
  }
  if (s.first == First::Launch) {
    out.push_back({"the launch request", 0ms, b.startup + 1s + b.slack, {kQuiet}});
  } else if (launch_replied(h)) {
    out.push_back({"the late launch request", 0ms, std::nullopt, {kQuiet}});
  }
  if (!reachable(s) && s.first != First::Launch) {
    out.push_back({"no agent to connect to",
                   7500ms,
                   std::nullopt,
                   {{1, Line::Exact, "the browser extension is not connected"}}});
    // A stuck error stream holds the host in its line.
    if (s.errors != ErrorStream::Stuck) out.back().deadline = b.startup + 10s + b.slack;
  }
  handshake_event(s, h, b, out);
  agent_end_event(s, h, b, out);
  return out;
}

std::string shown(const History& h) {
  std::string status = h.status ? describe(*h.status) : "still running, killed";
  return status + " at " + seconds(h.exit_at) + ", error stream \"" + h.errors.substr(0, 200) +
         "\"";
}

void check_ending(const Scenario& s, const History& h, Bounds b, std::vector<Failure>& out) {
  const auto all = events(s, h, b);
  std::optional<Duration> bound;
  const Event* deciding = nullptr;
  for (const Event& e : all) {
    if (e.deadline && (!bound || *e.deadline < *bound)) {
      bound = e.deadline;
      deciding = &e;
    }
  }
  if (h.killed_for_memory) return;  // the memory rule tells
  if (!h.status || (bound && h.exit_at > *bound)) {
    out.push_back({"exit-bound", shown(h) + "; " +
                                     (deciding ? deciding->name + " at " + seconds(deciding->at) +
                                                     " called for an end by " + seconds(*bound)
                                               : std::string("no event called for an end"))});
  }
  if (!h.status) return;
  if (h.status->kind == ExitStatus::Kind::Signalled) {
    out.push_back({"signal", shown(h)});
    return;
  }
  for (const Event& e : all) {
    if (e.at > h.exit_at) continue;
    for (const Outcome& o : e.outcomes) {
      if (fits(o, h, s)) return;
    }
  }
  std::string happened;
  for (const Event& e : all) {
    if (e.at <= h.exit_at) happened += (happened.empty() ? "" : ", ") + e.name;
  }
  out.push_back({"status", shown(h) + "; no event explains it (happened: " +
                               (happened.empty() ? "none" : happened) + ")"});
}

// What the agent should see after the hello: the stream of the extension's frames.
std::vector<Seen> expected_at_agent(const Scenario& s) {
  std::vector<Seen> out;
  if (s.first == First::LateLaunch) out.push_back(seen(kLaunch));
  for (std::size_t i = 0; i < s.ext_frames.size(); ++i) {
    out.push_back(seen(payload('e', i, s.ext_frames[i])));
  }
  return out;
}

std::vector<Seen> expected_at_extension(const Scenario& s, std::size_t sent) {
  std::vector<Seen> out{seen(kLinked)};
  for (std::size_t i = 0; i < sent; ++i) {
    out.push_back(seen(payload('a', i, s.agent_frames[i])));
  }
  return out;
}

// `got` is where `all` begins, within its first `most`; nothing when so, else where not.
std::optional<std::string> prefix_fault(const std::vector<Seen>& got, const std::vector<Seen>& all,
                                        std::size_t most) {
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (i >= std::min(most, all.size())) return "frame " + str(i) + " was never sent";
    if (got[i] != all[i]) {
      return "frame " + str(i) + " has " + str(got[i].size) + " bytes, not the " +
             str(all[i].size) + " bytes sent, or other contents";
    }
  }
  return std::nullopt;
}

void check_frames(const Scenario& s, const History& h, std::vector<Failure>& out) {
  auto fault = [&](std::string what) { out.push_back({"frames", std::move(what)}); };
  const bool launch_path = s.first == First::Launch || launch_replied(h);
  if (launch_path) {
    if (h.to_extension.size() > 1 || h.hello) {
      fault("a launch request, yet the host linked or wrote more than its reply");
    }
    return;
  }
  if (h.hello && *h.hello != R"({"op":"hello","token":")" + h.token + "\"}") {
    fault("the hello is not the one the bridge file's token calls for");
  }
  if (auto wrong = prefix_fault(h.to_agent, expected_at_agent(s), h.ext_sent)) {
    fault("to the agent: " + *wrong);
  }
  if (h.to_extension.empty()) return;
  if (!linked(h) || !accepts(s)) {
    return fault("to the extension: a frame that is not the linked notice of an acceptance");
  }
  auto all = expected_at_extension(s, h.agent_sent);
  if (auto wrong = prefix_fault(h.to_extension, all, all.size())) {
    fault("to the extension: " + *wrong);
  }
}

}  // namespace

long memory_bound_kib(const Scenario& s, const History& h, HostPlatform platform) {
  const long allowance = platform == HostPlatform::Wine ? 160 * 1024 : 48 * 1024;
  auto largest = [](const std::vector<std::size_t>& sizes) {
    std::size_t most = 0;
    for (std::size_t size : sizes)
      most = std::max(most, std::min<std::size_t>(size, MAX_FRAME_LEN));
    return most;
  };
  const bool replies = s.agent == Agent::Refuses || s.agent == Agent::NotJson;
  std::uint64_t bytes = h.backlog_peak + h.backlog_peak / 4 + largest(s.ext_frames) +
                        largest(s.agent_frames) + (replies ? s.reply_size : 0);
  return allowance + static_cast<long>(bytes / 1024);
}

std::vector<Failure> judge(const Scenario& s, const History& h, HostPlatform platform) {
  std::vector<Failure> out;
  check_ending(s, h, bounds_for(platform, h, s), out);
  check_frames(s, h, out);
  const long bound = memory_bound_kib(s, h, platform);
  if (h.peak_kib > bound) {
    out.push_back({"memory", "peak " + std::to_string(h.peak_kib / 1024) + " MiB, bound " +
                                 std::to_string(bound / 1024) + " MiB (backlog peak " +
                                 str(h.backlog_peak >> 20) + " MiB)" +
                                 (h.killed_for_memory ? "; killed" : "")});
  }
  return out;
}

}  // namespace velmora::scenarios
