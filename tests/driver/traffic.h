// Self-checking frames for the stress relay. Frame n of a stream is a function of the stream's
// seed and n alone: its size (1 byte to 1 MiB, spread evenly over the powers of two, and now and
// then exactly the largest frame) and its contents. A frame of at least kHeaderSize bytes starts
// with its sequence number, its length and a checksum of the rest; a shorter one is a pattern of
// its sequence number. The receiving end recomputes what frame n must be, so a frame that is
// lost, repeated, moved, cut short or changed shows at the first frame where it matters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bytes.h"

namespace velmora::driver {

struct TrafficCount {
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;    // payload bytes
  std::uint64_t largest = 0;  // frames of exactly the largest size
};

class FrameSource {
 public:
  static constexpr std::size_t kHeaderSize = 20;  // sequence (8), length (4), checksum (8)

  explicit FrameSource(std::uint64_t seed) : seed_(seed) {}

  // The size and the payload of frame `sequence`.
  std::size_t size_of(std::uint64_t sequence) const;
  Bytes payload_of(std::uint64_t sequence) const;

  // The next frame of the stream, counted.
  Bytes next();
  const TrafficCount& count() const { return count_; }

 private:
  std::uint64_t seed_;
  TrafficCount count_;
};

// Checks that frames arrive as the source with the same seed sent them: each exactly once, in
// order, unchanged.
class FrameCheck {
 public:
  explicit FrameCheck(std::uint64_t seed) : source_(seed) {}

  // Nothing when `payload` is the next frame; otherwise what is wrong with it.
  std::optional<std::string> take(std::string_view payload);
  const TrafficCount& count() const { return count_; }

 private:
  FrameSource source_;
  TrafficCount count_;
};

// FNV-1a over 64-bit little-endian words, then over the bytes left.
std::uint64_t checksum(std::string_view bytes);

}  // namespace velmora::driver
