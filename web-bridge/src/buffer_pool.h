// Large frame buffers kept for reuse, so that a steady stream of large frames touches no fresh
// pages once the first few have gone through; each idle one goes back to the system half a
// second after it came back. Nothing here ever waits for a buffer: a take that finds none idle
// maps fresh pages.
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
  // Idle buffers kept: enough for a steady stream of large frames in one direction and the
  // other; one more coming back makes the oldest go at once.
  static constexpr std::size_t IDLE_LIMIT = 2;
  // How long a buffer stays idle before it goes: well within a second of the traffic stopping,
  // and long enough that a pause between bursts of large frames costs nothing.
  static constexpr auto QUIET = std::chrono::milliseconds(500);

  BufferPool() { idle_.reserve(IDLE_LIMIT); }

  // An idle buffer large enough, else fresh pages.
  LargeBuffer acquire(std::size_t size) override;
  // Gives every idle buffer back to the system now; buffers that are out stay valid.
  void release_idle();
  std::size_t idle_count() const;
  // The body of a thread of its own, so that no thread blocked in a read or write can keep
  // idle memory mapped: gives each idle buffer back to the system `quiet` after it came back,
  // and the heap's free memory with it. Never returns.
  [[noreturn]] void release_when_quiet(Clock::duration quiet = QUIET);

 private:
  void give_back(platform::Pages pages) noexcept override;
  platform::Pages take_idle(std::size_t size);

  mutable std::mutex mutex_;
  std::condition_variable returned_;
  struct Idle {
    platform::Pages pages;
    Clock::time_point since;
  };
  std::vector<Idle> idle_;  // oldest first, room for IDLE_LIMIT reserved
};

}  // namespace velmora
