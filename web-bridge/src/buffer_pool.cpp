#include "buffer_pool.h"

#include <algorithm>
#include <bit>
#include <ranges>

namespace velmora {

namespace {

// Sizes go up in steps of an eighth of their power of two, so frames of about the same size
// share buffers and no buffer is more than an eighth larger than its frame needs.
std::size_t capacity_for(std::size_t size) {
  std::size_t step = std::max<std::size_t>(std::bit_floor(size) / 8, 1);
  return (size + step - 1) / step * step;
}

}  // namespace

LargeBuffer BufferPool::acquire(std::size_t size) {
  return LargeBuffer(shared_from_this(), take(size), size);
}

platform::Pages BufferPool::take(std::size_t size) {
  platform::Pages pages;
  {
    std::lock_guard lock(mutex_);
    pages = take_idle(size);
    // Room for every buffer out to come back idle, made here where a failure may throw: a
    // buffer coming back never allocates.
    idle_.reserve(std::max(most_out_, out_ + 1));
    most_out_ = std::max(most_out_, ++out_);
  }
  try {
    // Mapping takes a while and needs no lock.
    if (!pages.data()) pages = platform::Pages(capacity_for(size));
  } catch (...) {
    std::lock_guard lock(mutex_);
    --out_;
    throw;
  }
  return pages;
}

// The smallest idle buffer that holds `size` bytes, the latest back among equals, taken out of
// the pool; none is no pages. Taking the latest lets the ones a burst left over age and go.
platform::Pages BufferPool::take_idle(std::size_t size) {
  auto fits = [&](const Idle& idle) { return idle.pages.size() >= size; };
  auto candidates = idle_ | std::views::reverse | std::views::filter(fits);
  auto best =
      std::ranges::min_element(candidates, {}, [](const Idle& idle) { return idle.pages.size(); });
  if (best == candidates.end()) return {};
  platform::Pages pages = std::move(best->pages);
  idle_bytes_ -= pages.size();
  idle_.erase(std::prev(best.base().base()));
  return pages;
}

void BufferPool::give_back(platform::Pages pages) noexcept {
  platform::Pages leaving;  // unmapped unlocked
  std::unique_lock lock(mutex_);
  --out_;
  bool none_idle = idle_.empty();
  // More idle than the traffic ever had out: one of another size is in the way.
  if (idle_.size() >= most_out_) drop_oldest(leaving);
  idle_bytes_ += pages.size();
  idle_.push_back({std::move(pages), Clock::now()});  // within the room reserved: cannot throw
  // Beyond what is worth keeping, the oldest go at once rather than half a second later.
  while (idle_bytes_ > IDLE_BYTES_KEPT && idle_.size() > 1) {
    if (!leaving.data()) {
      drop_oldest(leaving);
      continue;
    }
    lock.unlock();
    leaving = {};
    lock.lock();
  }
  lock.unlock();
  // Only a pool that had nothing idle wakes the releaser: it times the rest by their ages.
  if (none_idle) returned_.notify_one();
}

void BufferPool::drop_oldest(platform::Pages& into) noexcept {
  idle_bytes_ -= idle_.front().pages.size();
  into = std::move(idle_.front().pages);
  idle_.erase(idle_.begin());
}

void BufferPool::heap_freed(std::size_t cost) noexcept {
  std::unique_lock lock(mutex_);
  bool was_due = heap_due();
  heap_freed_ += cost;
  // Timed from the moment it adds up, never put off by the small frames after: a trickle behind
  // a drained backlog must not keep the backlog's memory. Woken once for it, not once per frame.
  bool wake = !was_due && heap_due();
  if (wake) heap_due_at_ = Clock::now();
  lock.unlock();
  if (wake) returned_.notify_one();
}

void BufferPool::bulk_passed() noexcept {
  std::unique_lock lock(mutex_);
  bool wake = !bulk_;
  bulk_ = true;
  bulk_at_ = Clock::now();
  lock.unlock();
  if (wake) returned_.notify_one();
}

// When the oldest idle buffer is due to go, the heap to be trimmed or the bulk traffic to count
// as over, whichever comes first.
BufferPool::Clock::time_point BufferPool::next_due(Clock::duration quiet) const {
  auto due = Clock::time_point::max();
  if (!idle_.empty()) due = idle_.front().since + quiet;
  if (heap_due()) due = std::min(due, heap_trim_at(quiet));
  if (bulk_) due = std::min(due, bulk_at_ + quiet);
  return due;
}

// Gives back the idle buffers that are due, one at a time and unlocked; with the last of them
// gone, or a backlog's frames gone from the heap, the heap's free memory goes too.
void BufferPool::release_due(std::unique_lock<std::mutex>& lock, Clock::duration quiet) {
  bool released = false;
  while (!idle_.empty() && idle_.front().since + quiet <= Clock::now()) {
    platform::Pages leaving;
    drop_oldest(leaving);
    released = true;
    lock.unlock();
    leaving = {};
    lock.lock();
  }
  bool heap_trim = heap_due() && heap_trim_at(quiet) <= Clock::now();
  if (!(released && idle_.empty()) && !heap_trim) return;
  // Quiet now: what stays kept follows the traffic that comes next.
  if (idle_.empty()) most_out_ = out_;
  heap_freed_ = 0;
  lock.unlock();
  platform::trim_heap();
  lock.lock();
}

void BufferPool::release_when_quiet(Clock::duration quiet, void (*bulk_over)()) {
  std::unique_lock lock(mutex_);
  for (;;) {
    returned_.wait(lock, [&] { return !idle_.empty() || heap_due() || bulk_; });
    if (auto due = next_due(quiet); Clock::now() < due) {
      returned_.wait_until(lock, due);
      continue;
    }
    release_due(lock, quiet);
    if (bulk_ && bulk_at_ + quiet <= Clock::now()) {
      bulk_ = false;
      lock.unlock();
      if (bulk_over) bulk_over();
      lock.lock();
    }
  }
}

}  // namespace velmora
