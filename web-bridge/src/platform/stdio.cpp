// The part of the standard streams that both platforms share: the stream objects and the locks.
#include "platform/stdio.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/stdio_calls.h"

namespace velmora::platform {

namespace {

// Writes to standard output so far: each one an answer the extension has had.
std::atomic<std::uint64_t> answers{0};

// In a quick exchange the extension sends its next frame within microseconds of the answer to its
// last one, sooner than a sleeping thread wakes on a busy machine; so once a small frame has come
// quickly after an answer, the next read first polls for a short while. One slow arrival, or frames
// that come with no answer between (a stream), stop that: an idle or sparse link and bulk traffic
// never poll. With one core the polling would only keep the sender from running.
class StandardInput final : public Reader {
 public:
  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override {
    using Clock = std::chrono::steady_clock;
    const auto began = Clock::now();
    if (quick_) stdio_calls::await_input(POLL_LIMIT);
    auto count = stdio_calls::read_input(into);
    const std::uint64_t answered = answers.load(std::memory_order_relaxed);
    quick_ = SEVERAL_CORES && count && *count <= SMALL_READ && answered != answered_before_ &&
             Clock::now() - began < POLL_LIMIT;
    answered_before_ = answered;
    return count;
  }

 private:
  static constexpr std::chrono::microseconds POLL_LIMIT{60};
  static constexpr std::size_t SMALL_READ = 4096;
  static inline const bool SEVERAL_CORES = std::thread::hardware_concurrency() > 1;
  bool quick_ = false;
  std::uint64_t answered_before_ = 0;
};

class StandardOutput final : public Writer {
 public:
  std::expected<std::size_t, IoError> write(std::span<const std::byte> bytes) override {
    answers.fetch_add(1, std::memory_order_relaxed);
    return stdio_calls::write_output(bytes);
  }
  std::expected<std::size_t, IoError> write_gathered(std::span<const ByteSpan> buffers) override {
    answers.fetch_add(1, std::memory_order_relaxed);
    return stdio_calls::write_output_gathered(buffers);
  }
};

}  // namespace

Reader& standard_input() {
  static StandardInput input;
  return input;
}

Writer& standard_output() {
  static StandardOutput output;
  return output;
}

std::mutex& standard_input_lock() {
  static std::mutex lock;
  return lock;
}

std::mutex& standard_output_lock() {
  static std::mutex lock;
  return lock;
}

}  // namespace velmora::platform
