// Large frame buffers kept for reuse, so that a steady stream of large frames touches no fresh
// pages once the first few have gone through, however far the reader runs ahead of the writer;
// each idle one goes back to the system half a second after it came back, and the heap's free
// memory goes too once the frames that lay there have stopped coming. Nothing here ever waits
// for a buffer: a take that finds none idle maps fresh pages.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "large_buffer.h"

namespace velmora {

// Shared by the threads that take and drop its buffers; made with std::make_shared.
class BufferPool final : public LargeBufferSource, public std::enable_shared_from_this<BufferPool> {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a buffer stays idle before it goes: well within a second of the traffic
  // stopping, and long enough that a pause between bursts of large frames costs nothing.
  static constexpr auto QUIET = std::chrono::milliseconds(500);
  // Frames dropped from the heap since its last trim, beyond which it is trimmed once they
  // stop: a backlog of small frames leaves that much free there.
  static constexpr std::size_t HEAP_TRIM_BYTES = std::size_t{1} << 20;

  // An idle buffer large enough, else fresh pages.
  LargeBuffer acquire(std::size_t size) override;
  std::size_t idle_count() const;
  // Told of frames that lay on the heap and have just been dropped.
  void heap_freed(std::size_t bytes) noexcept;
  // The body of a thread of its own, so that no thread blocked in a read or write can keep
  // idle memory mapped: gives each idle buffer back to the system `quiet` after it came back,
  // and the heap's free memory with the last of them, or `quiet` after the last frames of a
  // backlog left the heap. Never returns.
  [[noreturn]] void release_when_quiet(Clock::duration quiet = QUIET);

 private:
  struct Idle {
    platform::Pages pages;
    Clock::time_point since;
  };

  void give_back(platform::Pages pages) noexcept override;
  platform::Pages take_idle(std::size_t size);
  Clock::time_point next_due(Clock::duration quiet) const;
  bool heap_due() const { return heap_freed_ >= HEAP_TRIM_BYTES; }
  void release_due(std::unique_lock<std::mutex>& lock, Clock::duration quiet);

  mutable std::mutex mutex_;
  std::condition_variable returned_;
  // Oldest first, with room reserved for most_out_: as many are kept as the traffic had out
  // at once, so a reader running a few frames ahead finds them all again.
  std::vector<Idle> idle_;
  std::size_t out_ = 0;       // handed out and not back yet
  std::size_t most_out_ = 0;  // the most out at once since the pool last went idle
  std::size_t heap_freed_ = 0;
  Clock::time_point heap_freed_at_;
};

}  // namespace velmora
