// Large frame buffers kept for reuse, so that a steady stream of large frames touches no fresh
// pages once the first few have gone through, however far the reader runs ahead of the writer;
// each idle one goes back to the system half a second after it came back, and the heap's free
// memory goes too once a backlog of frames that lay there has drained. The pool itself never waits
// for a buffer: a take that finds none idle maps fresh pages.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "frame_length.h"
#include "large_buffer.h"

namespace velmora {

// Shared by the threads that take and drop its buffers; made with std::make_shared.
class BufferPool final : public LargeBufferSource, public std::enable_shared_from_this<BufferPool> {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a buffer stays idle before it goes: well within a second of the traffic
  // stopping, and long enough that a pause between bursts of large frames costs nothing.
  static constexpr auto QUIET = std::chrono::milliseconds(500);
  // Heap that dropped frames cost since its last trim (their buffers, the allocator's share and
  // the queue's), beyond which it is trimmed `quiet` later, or `quiet` after bulk traffic last
  // passed, however many small frames follow: a backlog of small frames, even of one byte each,
  // leaves that much free there.
  static constexpr std::size_t HEAP_TRIM_BYTES = std::size_t{256} << 10;
  // Idle memory kept at most, two of the largest frames in their pieces (and a MiB for the
  // rounding of their first pieces), no more: a reader that ran many frames ahead leaves the rest
  // behind, and whatever either direction left idle, the other reuses, so neither adds it to the
  // other's peak of two frames.
  static constexpr std::size_t IDLE_BYTES_KEPT = 2 * MAX_FRAME_LEN + (std::size_t{1} << 20);

  // An idle buffer large enough, else fresh pages.
  LargeBuffer acquire(std::size_t size) override;
  // Told of frames that lay on the heap and have just been dropped, with the heap they cost.
  void heap_freed(std::size_t cost) noexcept;
  // The body of a thread of its own, so that no thread blocked in a read or write can keep
  // idle memory mapped: gives each idle buffer back to the system `quiet` after it came back,
  // and the heap's free memory with the last of them, or `quiet` after the last frames of a
  // backlog left the heap; and calls `bulk_over` `quiet` after bulk traffic last passed. Never
  // returns.
  [[noreturn]] void release_when_quiet(Clock::duration quiet = QUIET,
                                       void (*bulk_over)() = nullptr);
  // Told that bulk traffic passed (a large frame, or a long run of small ones).
  void bulk_passed() noexcept;

 private:
  struct Idle {
    platform::Pages pages;
    Clock::time_point since;
  };

  void give_back(platform::Pages pages) noexcept override;
  platform::Pages take(std::size_t size);
  platform::Pages take_idle(std::size_t size);
  // Moves the oldest idle buffer into `into`, to be unmapped once the lock is let go.
  void drop_oldest(platform::Pages& into) noexcept;
  Clock::time_point next_due(Clock::duration quiet) const;
  bool heap_due() const { return heap_freed_ >= HEAP_TRIM_BYTES; }
  // While bulk traffic streams, the heap it frees is taken again at once: trimmed, it would only
  // be faulted in again (at 64-byte frames that doubled the faults), so the trim waits for it.
  Clock::time_point heap_trim_at(Clock::duration quiet) const {
    return std::max(heap_due_at_, bulk_at_) + quiet;
  }
  void release_due(std::unique_lock<std::mutex>& lock, Clock::duration quiet);

  mutable std::mutex mutex_;
  std::condition_variable returned_;
  // Oldest first, with room reserved for most_out_: as many are kept as the traffic had out
  // at once, so a reader running a few frames ahead finds them all again.
  std::vector<Idle> idle_;
  std::size_t idle_bytes_ = 0;  // mapped by the idle buffers
  std::size_t out_ = 0;         // handed out and not back yet
  std::size_t most_out_ = 0;    // the most out at once since the pool last went idle
  std::size_t heap_freed_ = 0;
  Clock::time_point heap_due_at_;  // set when heap_freed_ reached HEAP_TRIM_BYTES, and kept
  bool bulk_ = false;              // bulk traffic passed, and bulk_over is still to be called
  Clock::time_point bulk_at_;
};

}  // namespace velmora
