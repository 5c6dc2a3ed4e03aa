// What the unit tests of the library and of the agent share: byte strings written as text,
// frames built by hand, in-memory streams, and a fresh folder (the driver's, which is portable).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string_view>
#include <vector>

#include "byte_stream.h"
#include "frame.h"
#include "temp_dir.h"

namespace velmora::test {

using driver::TempDir;

// The text's bytes as an owned payload.
Payload bytes(std::string_view text);
// `payload` as one frame: its 4-byte little-endian length, then its bytes.
Payload frame_of(std::span<const std::byte> payload);
// The payloads as consecutive frames.
Payload frames_of(const std::vector<Payload>& payloads);

// An in-memory stream that can hand out at most `chunk` bytes per call and fail on demand; with
// `interrupts`, every other read fails as interrupted first.
class MemoryStream final : public Reader, public Writer {
 public:
  explicit MemoryStream(Payload input = {}, std::size_t chunk = SIZE_MAX, bool interrupts = false)
      : input_(input.begin(), input.end()), chunk_(chunk), interrupts_(interrupts) {}

  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override {
    if (interrupt_next_ || (interrupts_ && calls_++ % 2 == 0)) {
      interrupt_next_ = false;
      return std::unexpected(IoError::os(4, true));
    }
    std::size_t count = std::min({into.size(), input_.size(), chunk_});
    std::copy_n(input_.begin(), count, into.begin());
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(count));
    ++reads;
    return count;
  }
  std::expected<std::size_t, IoError> write(std::span<const std::byte> data) override {
    if (interrupt_next_) {
      interrupt_next_ = false;
      return std::unexpected(IoError::os(4, true));
    }
    std::size_t count = std::min(data.size(), chunk_);
    output.insert(output.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
  }
  void interrupt_next() { interrupt_next_ = true; }
  std::size_t remaining() const { return input_.size(); }

  Payload output;
  int reads = 0;

 private:
  std::deque<std::byte> input_;
  std::size_t chunk_;
  bool interrupts_;
  bool interrupt_next_ = false;
  std::size_t calls_ = 0;
};

// Takes at most `chunk` bytes per call, across buffer boundaries; every third call can be made
// to fail as interrupted. With `gathers` false it keeps the Writer's one-buffer default.
class ChunkedWriter final : public Writer {
 public:
  ChunkedWriter(std::size_t chunk, bool gathers, bool interrupts = false)
      : chunk_(chunk), gathers_(gathers), interrupts_(interrupts) {}

  std::expected<std::size_t, IoError> write(std::span<const std::byte> data) override {
    std::array<ByteSpan, 1> one{data};
    return accept(one);
  }
  std::expected<std::size_t, IoError> write_gathered(std::span<const ByteSpan> buffers) override {
    if (!gathers_) return Writer::write_gathered(buffers);
    return accept(buffers);
  }

  Payload output;
  int calls = 0;

 private:
  std::expected<std::size_t, IoError> accept(std::span<const ByteSpan> buffers) {
    ++calls;
    if (interrupts_ && calls % 3 == 0) return std::unexpected(IoError::os(4, true));
    std::size_t left = chunk_;
    for (ByteSpan buffer : buffers) {
      std::size_t take = std::min(left, buffer.size());
      output.insert(output.end(), buffer.begin(), buffer.begin() + static_cast<long>(take));
      left -= take;
      if (take < buffer.size()) break;
    }
    return chunk_ - left;
  }

  std::size_t chunk_;
  bool gathers_;
  bool interrupts_;
};

}  // namespace velmora::test
