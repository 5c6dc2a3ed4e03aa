// Large frame buffers, kept for reuse: a steady stream of large frames touches no fresh pages
// once the first few have gone through, and a reader that fills buffers for another thread to
// write stays at most a frame or two ahead of it while that thread makes progress.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/pages.h"

namespace velmora {

class BufferPool;

// One large frame's bytes, in pages of the pool's; they go back to the pool when this is
// dropped. Never zero-filled: a read fills them.
class LargeBuffer {
 public:
  LargeBuffer() = default;
  LargeBuffer(LargeBuffer&&) noexcept = default;
  LargeBuffer& operator=(LargeBuffer&& other) noexcept;
  ~LargeBuffer() { give_back(); }

  std::span<std::byte> bytes() const { return {pages_.data(), size_}; }

 private:
  friend class BufferPool;
  LargeBuffer(std::shared_ptr<BufferPool> pool, platform::Pages pages, std::size_t size,
              bool paced) noexcept;
  void give_back() noexcept;

  std::shared_ptr<BufferPool> pool_;
  platform::Pages pages_;
  std::size_t size_ = 0;
  bool paced_ = false;
};

// Paced: taken by a reader that fills buffers for another thread to write, and held back while
// enough of them are still out. Free: taken by a thread that writes each buffer itself.
enum class Pacing { Free, Paced };

// Shared by the threads that take and drop its buffers; made with std::make_shared.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
 public:
  struct Limits {
    // Paced buffers out (queued or being written) before a paced take waits: one being
    // written and one being filled keeps reading and writing overlapped.
    std::size_t in_flight = 2;
    // Idle buffers kept for reuse; one coming back beyond that goes back to the system.
    std::size_t idle = 2;
    // No paced buffer back for this long means the writer is stuck (an agent that does not
    // read): paced takes stop waiting until one comes back, so reading goes on as without a
    // pool and the end of input is still seen.
    std::chrono::milliseconds stall{100};
  };

  BufferPool() : BufferPool(Limits{}) {}
  explicit BufferPool(Limits limits) : limits_(limits) { idle_.reserve(limits_.idle); }

  // A buffer of `size` bytes: an idle one large enough, else fresh pages (std::bad_alloc when
  // the system has none). A paced take first waits as Limits says.
  LargeBuffer acquire(std::size_t size, Pacing pacing);
  using Clock = std::chrono::steady_clock;
  // Gives every idle buffer back to the system once none has come back for `quiet`; buffers
  // that are out stay valid and come back.
  void release_idle(Clock::duration quiet = {});
  // When the last buffer came back, while any is idle: their release is due `quiet` after it.
  // Asked by the thread that times the release; with nothing idle, the hook wakes it later.
  std::optional<Clock::time_point> idle_since() const;
  std::size_t idle_count() const;
  // Called, on the thread that drops it, when a buffer comes back to a pool that had none idle
  // and whose last idle_since() found none: the moment to start timing their release.
  void on_idle(std::function<void()> hook);

 private:
  friend class LargeBuffer;
  void give_back(platform::Pages pages, bool paced) noexcept;
  void wait_for_room(std::unique_lock<std::mutex>& lock);
  platform::Pages take_idle(std::size_t size);
  void keep_largest(platform::Pages& pages) noexcept;

  const Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<platform::Pages> idle_;
  std::size_t paced_out_ = 0;
  std::size_t paced_returns_ = 0;
  bool stalled_ = false;
  Clock::time_point last_return_;
  mutable bool timed_ = false;  // the last idle_since() found buffers to time
  std::shared_ptr<const std::function<void()>> on_idle_;
};

}  // namespace velmora
