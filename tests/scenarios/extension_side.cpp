#include "extension_side.h"

namespace velmora::scenarios {
using namespace driver;  // NOLINT(google-build-using-namespace)

namespace {

using namespace std::chrono_literals;
constexpr std::size_t kPiece = 4096;  // at most PIPE_BUF: a pipe takes it whole or not at all

// Whole bytes into the host's input, a pipe-sized piece at a time, so that a time-out leaves no
// piece half-written; false once the host has gone, or once the writer gives up on it.
bool put(const std::stop_token& stop, HostProcess& host, Record& record, std::string_view bytes) {
  while (!bytes.empty()) {
    if (record.now() > record.give_up) return false;
    std::string_view piece = bytes.substr(0, kPiece);
    auto written = host.write(piece, 50ms);
    if (written) {  // written stays written, however soon the scenario stops after it
      record.ext_written += piece.size();
      bytes.remove_prefix(piece.size());
      continue;
    }
    if (written.error() != WriteError::TimedOut || stop.stop_requested()) return false;
  }
  return true;
}

}  // namespace

ExtensionSide::ExtensionSide(const Scenario& s, Record& record, HostProcess& host, Duration startup)
    : s_(s), record_(record), host_(host), late_(startup + kLateFirst) {
  writer_ = std::jthread([this](std::stop_token stop) { write(stop); });
  reader_ = std::jthread([this](std::stop_token stop) { read(stop); });
}

void ExtensionSide::drain() {
  writer_.request_stop();
  reader_.request_stop();
  reader_.join();
  for (Deadline limit(2s); !limit.passed();) {
    auto got = host_.read_frame(200ms);
    if (!got) break;
    record_.note([&](History& h) { h.to_extension.push_back(seen(*got)); });
  }
}

bool ExtensionSide::send(const std::stop_token& stop, std::string_view bytes) {
  if (!put(stop, host_, record_, length_prefix(static_cast<std::uint32_t>(bytes.size()))) ||
      !put(stop, host_, record_, bytes)) {
    return false;
  }
  record_.note([](History& h) { ++h.ext_sent; });
  return true;
}

bool ExtensionSide::send_all_frames(const std::stop_token& stop) {
  if (s_.first == First::Launch && !send(stop, kLaunch)) return false;
  if (s_.first == First::LateLaunch || s_.first == First::None) {
    if (!nap(stop, late_)) return false;
    if (s_.first == First::LateLaunch && !send(stop, kLaunch)) return false;
  }
  for (std::size_t i = 0; i < s_.ext_frames.size(); ++i) {
    if (i > 0 && !nap(stop, s_.ext_gap)) return false;
    if (i > 0 && i + 1 == s_.ext_frames.size() && !nap(stop, s_.ext_pause)) return false;
    if (!send(stop, payload('e', i, s_.ext_frames[i]))) return false;
  }
  return true;
}

// A browser closes the input when it likes, written or not: a write held up past the give-up
// time is cut short and the input closed at once.
void ExtensionSide::write(const std::stop_token& stop) {
  if (!send_all_frames(stop)) return given_up(stop);
  if (s_.input_end == InputEnd::InsideFrame) {
    Bytes cut = frame(payload('e', s_.ext_frames.size(), 1000)).substr(0, 500);
    if (!put(stop, host_, record_, cut)) return given_up(stop);
  }
  if (s_.input_end == InputEnd::BadLength) {
    const Duration at = record_.now();  // as for the agent's bad length
    if (!put(stop, host_, record_, length_prefix(s_.bad_length))) return given_up(stop);
    record_.note([&](History& h) { h.input_end_at = at; });
    // Bytes after a bad length are never the extension's frames.
    (void)put(stop, host_, record_, frame(payload('e', s_.ext_frames.size(), 100)));
  }
  bool late = s_.input_end == InputEnd::Late;
  if (!nap(stop, late ? kLateClose + late_ - kLateFirst - record_.now() : s_.close_delay)) {
    return;
  }
  close_now(stop);
}

// A write that failed because the host has gone is no end of input.
void ExtensionSide::given_up(const std::stop_token& stop) {
  if (record_.now() > record_.give_up) close_now(stop);
}

void ExtensionSide::close_now(const std::stop_token& stop) {
  if (stop.stop_requested()) return;
  record_.note([&](History& h) {
    if (!h.input_end_at) h.input_end_at = record_.now();
  });
  host_.close_stdin();
}

void ExtensionSide::read(const std::stop_token& stop) {
  if (s_.ext_reads == Pace::Never) {
    nap(stop, kForever);
    return;
  }
  while (!stop.stop_requested()) {
    auto got = host_.read_frame(50ms);
    if (!got && got.error() != ReadError::TimedOut) return;
    if (!got) continue;
    record_.note([&](History& h) { h.to_extension.push_back(seen(*got)); });
    if (s_.ext_reads == Pace::Slow) nap(stop, 100ms);
  }
}

}  // namespace velmora::scenarios
