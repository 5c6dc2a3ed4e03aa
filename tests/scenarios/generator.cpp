// The generator: one scenario from one seed, every dimension drawn with its edge values
// weighted up; and the shrink steps that make a failing scenario smaller.
#include <charconv>
#include <random>
#include <sstream>
#include <utility>

#include "scenario.h"
#include "traffic.h"

namespace velmora::scenarios {
using namespace driver;  // NOLINT(google-build-using-namespace)

namespace {

using Rng = std::mt19937_64;
using namespace std::chrono_literals;
constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;

template <typename T>
struct Weighted {
  int weight;
  T value;
};

template <typename T>
T pick(Rng& rng, std::initializer_list<Weighted<T>> choices) {
  int total = 0;
  for (const auto& choice : choices) total += choice.weight;
  int draw = std::uniform_int_distribution<int>(0, total - 1)(rng);
  for (const auto& choice : choices) {
    if ((draw -= choice.weight) < 0) return choice.value;
  }
  return choices.begin()->value;
}

// Sizes at the edges of the pipe's and the frame's bounds, and anything between; the agent's
// frames may also have the bad lengths 0 and one above the largest.
std::size_t draw_size(Rng& rng, bool bad_allowed) {
  const std::size_t any =
      static_cast<std::size_t>(std::exp2(std::uniform_real_distribution<double>(0, 20)(rng)));
  return pick<std::size_t>(rng, {{3, 1},
                                 {2, 64 * kKiB - 1},
                                 {3, 64 * kKiB},
                                 {2, 64 * kKiB + 1},
                                 {3, kMiB},
                                 {2, MAX_FRAME_LEN},
                                 {1, MAX_FRAME_LEN - 1},
                                 {6, any},
                                 {bad_allowed ? 1 : 0, 0},
                                 {bad_allowed ? 1 : 0, MAX_FRAME_LEN + 1}});
}

std::vector<std::size_t> draw_frames(Rng& rng, int most, bool bad_allowed) {
  enum Shape { None, One, Few, Burst };
  Shape shape = pick<Shape>(rng, {{2, None}, {3, One}, {6, Few}, {3, Burst}});
  std::vector<std::size_t> out;
  if (shape == Burst) {
    // A backlog of many mid-sized frames, then a short one: what hides an end of input.
    out.assign(static_cast<std::size_t>(most), kMiB);
    out.push_back(100 * kKiB);
    return out;
  }
  int count = shape == None ? 0 : shape == One ? 1 : std::uniform_int_distribution(2, 8)(rng);
  for (int i = 0; i < count; ++i) {
    out.push_back(draw_size(rng, bad_allowed));
    // Nothing of a stream follows its bad length.
    if (out.back() == 0 || out.back() > MAX_FRAME_LEN) break;
  }
  return out;
}

void draw_bridge(Rng& rng, Scenario& s) {
  s.bridge = pick<Bridge>(rng, {{1, Bridge::Missing},
                                {1, Bridge::Late},
                                {6, Bridge::Valid},
                                {1, Bridge::MalformedThenValid},
                                {1, Bridge::PortChanges},
                                {1, Bridge::Fifo},
                                {1, Bridge::DeviceLink},
                                {1, Bridge::Directory},
                                {1, Bridge::Sparse}});
  s.bridge_delay = pick<Duration>(rng, {{2, 500ms}, {2, 2s}, {1, 5s}});
}

void draw_agent(Rng& rng, Scenario& s) {
  s.agent = pick<Agent>(rng, {{1, Agent::None},
                              {1, Agent::ListensLate},
                              {1, Agent::Silent},
                              {1, Agent::AcceptsLate},
                              {2, Agent::Refuses},
                              {1, Agent::NotJson},
                              {1, Agent::ClosesAfterHello},
                              {1, Agent::Resets},
                              {6, Agent::Accepts}});
  s.agent_delay = s.agent == Agent::ListensLate
                      ? pick<Duration>(rng, {{2, 1s}, {2, 3s}, {1, 12s}})
                      : pick<Duration>(rng, {{2, 0ms}, {1, 200ms}, {1, 2s}});
  s.reply_size = pick<std::size_t>(rng, {{3, 12}, {1, 64 * kKiB}, {2, MAX_FRAME_LEN}});
  s.agent_reads =
      pick<Pace>(rng, {{4, Pace::Fast}, {2, Pace::Slow}, {3, Pace::Stalls}, {1, Pace::Never}});
  s.agent_frames = draw_frames(rng, 20, true);
  s.agent_gap = pick<Duration>(rng, {{3, 0ms}, {1, 20ms}, {1, 200ms}});
  s.agent_end = pick<AgentEnd>(rng, {{4, AgentEnd::Stays},
                                     {2, AgentEnd::CloseBetween},
                                     {1, AgentEnd::CloseInside},
                                     {1, AgentEnd::Reset}});
}

void draw_extension(Rng& rng, Scenario& s) {
  s.first = pick<First>(
      rng, {{2, First::Launch}, {3, First::Other}, {1, First::LateLaunch}, {3, First::None}});
  s.ext_frames = draw_frames(rng, 150, false);
  s.ext_gap = pick<Duration>(rng, {{4, 0ms}, {2, 5ms}, {1, 50ms}});
  if (s.ext_gap * s.ext_frames.size() > 3s) s.ext_gap = 0ms;
  if (pick<bool>(rng, {{3, false}, {1, true}})) {
    // A steady stream that outlasts the link's deadline: the host ends while a frame is read.
    s.ext_frames.assign(90, kMiB);
    s.ext_frames.insert(s.ext_frames.begin() + 45, MAX_FRAME_LEN);
    s.ext_gap = 100ms;
  }
  s.ext_pause = pick<Duration>(rng, {{3, 0ms}, {1, 3s}});
  s.ext_reads = pick<Pace>(rng, {{4, Pace::Fast}, {2, Pace::Slow}, {1, Pace::Never}});
  s.input_end = pick<InputEnd>(rng, {{6, InputEnd::AfterFrames},
                                     {2, InputEnd::InsideFrame},
                                     {2, InputEnd::BadLength},
                                     {2, InputEnd::Late}});
  s.close_delay = pick<Duration>(rng, {{3, 0ms}, {2, 50ms}, {2, 300ms}, {2, 1s}, {2, 3s}});
  s.bad_length = pick<std::uint32_t>(
      rng, {{2, 0}, {2, MAX_FRAME_LEN + 1}, {1, std::numeric_limits<std::uint32_t>::max()}});
}

std::vector<std::size_t> halved(std::vector<std::size_t> sizes) {
  sizes.resize(sizes.size() / 2);
  return sizes;
}

std::vector<std::size_t> smaller(std::vector<std::size_t> sizes) {
  for (std::size_t& size : sizes) {
    if (size > 1 && size <= MAX_FRAME_LEN) size /= 2;
  }
  return sizes;
}

// Each step moves one dimension toward its plainest value.
void apply(Scenario& s, int step) {
  switch (step) {
    case 0:
      s.load = 0;
      break;
    case 1:
      s.errors = ErrorStream::Normal;
      break;
    case 2:
      s.ext_reads = Pace::Fast;
      break;
    case 3:
      s.agent_reads = Pace::Fast;
      break;
    case 4:
      s.ext_frames = halved(s.ext_frames);
      break;
    case 5:
      s.agent_frames = halved(s.agent_frames);
      break;
    case 6:
      s.ext_frames = smaller(s.ext_frames);
      break;
    case 7:
      s.agent_frames = smaller(s.agent_frames);
      break;
    case 8:
      s.ext_gap = s.agent_gap = s.ext_pause = Duration(0);
      break;
    case 9:
      s.agent_end = AgentEnd::Stays;
      break;
    case 10:
      s.bridge = Bridge::Valid;
      break;
    case 11:
      s.reply_size = 12;
      break;
    case 12:
      s.close_delay = Duration(0);
      break;
    default:
      s.nonblocking_input = s.nonblocking_output = false;
      break;
  }
}

template <typename E>
const char* name(E value, std::initializer_list<const char*> names) {
  return names.begin()[static_cast<std::size_t>(value)];
}

std::string sizes_text(const std::vector<std::size_t>& sizes) {
  std::size_t total = 0;
  for (std::size_t size : sizes) total += size;
  std::ostringstream out;
  out << sizes.size() << " frames";
  if (sizes.size() <= 4) {
    for (std::size_t i = 0; i < sizes.size(); ++i) out << (i == 0 ? " [" : ",") << sizes[i];
    if (!sizes.empty()) out << "]";
  } else {
    out << " (" << total / kKiB << " KiB)";
  }
  return out.str();
}

}  // namespace

Scenario generate(std::uint64_t seed) {
  Rng rng(seed);
  Scenario s;
  s.id = std::to_string(seed);
  draw_bridge(rng, s);
  draw_agent(rng, s);
  draw_extension(rng, s);
  s.errors = pick<ErrorStream>(
      rng, {{6, ErrorStream::Normal}, {1, ErrorStream::Stuck}, {1, ErrorStream::Closed}});
  s.load = pick<int>(rng, {{7, 0}, {3, 2}});
  // Drawn last, so that every seed found before keeps the rest of its scenario.
  s.nonblocking_input = pick<bool>(rng, {{3, false}, {1, true}});
  s.nonblocking_output = pick<bool>(rng, {{3, false}, {1, true}});
  return s;
}

std::optional<Scenario> shrink(const Scenario& scenario, int step) {
  Scenario out = scenario;
  apply(out, step);
  if (describe(out) == describe(scenario)) return std::nullopt;
  out.id += (scenario.id.find('/') == std::string::npos ? "/" : ",") + std::to_string(step);
  return out;
}

std::optional<Scenario> from_id(std::string_view id) {
  std::uint64_t seed = 0;
  auto [at, error] = std::from_chars(id.data(), id.data() + id.size(), seed);
  if (error != std::errc{}) return std::nullopt;
  Scenario s = generate(seed);
  const char* end = id.data() + id.size();
  while (at != end && (*at == '/' || *at == ',')) {
    int step = 0;
    auto [next, bad] = std::from_chars(at + 1, end, step);
    if (bad != std::errc{}) return std::nullopt;
    if (auto smaller_one = shrink(s, step)) s = std::move(*smaller_one);
    at = next;
  }
  return at == end ? std::optional(s) : std::nullopt;
}

bool reachable(const Scenario& s) {
  bool good_file = s.bridge == Bridge::Late || s.bridge == Bridge::Valid ||
                   s.bridge == Bridge::MalformedThenValid || s.bridge == Bridge::PortChanges;
  bool listens = s.agent != Agent::None &&
                 !(s.agent == Agent::ListensLate && s.agent_delay > std::chrono::seconds(6));
  return good_file && listens;
}

Bytes payload(char direction, std::size_t index, std::size_t size) {
  Bytes out(size, '\0');
  const std::uint64_t base =
      (std::uint64_t{static_cast<unsigned char>(direction)} << 56) ^ (std::uint64_t{index} << 32);
  std::uint64_t word = 0;
  for (std::size_t at = 0; at < size; ++at) {
    if (at % 8 == 0) word = std::hash<std::uint64_t>{}(base + at) * 0x9e3779b97f4a7c15ULL;
    out[at] = static_cast<char>((word >> (8 * (at % 8))) & 0xFF);
  }
  return out;
}

Seen seen(std::string_view bytes) {
  return {bytes.size(), checksum(bytes)};
}

std::string describe(const Scenario& s) {
  std::ostringstream out;
  out << "bridge="
      << name(s.bridge, {"missing", "late", "valid", "malformed-then-valid", "port-changes", "fifo",
                         "device-link", "directory", "sparse"});
  if (s.bridge == Bridge::Late || s.bridge == Bridge::MalformedThenValid ||
      s.bridge == Bridge::PortChanges) {
    out << "@" << s.bridge_delay.count() << "ms";
  }
  out << " agent="
      << name(s.agent, {"none", "listens-late", "silent", "accepts-late", "refuses", "not-json",
                        "closes-after-hello", "resets", "accepts"});
  if (s.agent != Agent::None && s.agent != Agent::Silent && s.agent != Agent::Accepts) {
    out << "@" << s.agent_delay.count() << "ms";
  }
  if (s.agent == Agent::Refuses || s.agent == Agent::NotJson) out << "(" << s.reply_size << " B)";
  if (accepts(s)) {
    out << "(reads " << name(s.agent_reads, {"fast", "slowly", "with stalls", "never"}) << ", "
        << sizes_text(s.agent_frames) << " every " << s.agent_gap.count() << "ms, then "
        << name(s.agent_end, {"stays", "closes", "closes inside a frame", "resets"}) << ")";
  }
  out << " extension(first " << name(s.first, {"launch", "other", "late launch", "none"}) << ", "
      << sizes_text(s.ext_frames) << " every " << s.ext_gap.count() << "ms";
  if (s.ext_pause > Duration(0)) out << ", the last after " << s.ext_pause.count() << "ms";
  out << ", reads " << name(s.ext_reads, {"fast", "slowly", "with stalls", "never"}) << ", ends "
      << name(s.input_end, {"after the frames", "inside a frame", "with a bad length", "late"});
  if (s.input_end == InputEnd::BadLength) out << " " << s.bad_length;
  if (s.input_end != InputEnd::Late) out << " +" << s.close_delay.count() << "ms";
  out << ") errors=" << name(s.errors, {"normal", "stuck", "closed"}) << " load=" << s.load;
  if (s.nonblocking_input) out << " input=nonblocking";
  if (s.nonblocking_output) out << " output=nonblocking";
  return out.str();
}

}  // namespace velmora::scenarios
