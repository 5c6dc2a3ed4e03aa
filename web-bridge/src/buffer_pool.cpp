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
  platform::Pages pages;
  {
    std::lock_guard lock(mutex_);
    pages = take_idle(size);
  }
  // Mapping takes a while and needs no lock.
  if (!pages.data()) pages = platform::Pages(capacity_for(size));
  return LargeBuffer(shared_from_this(), std::move(pages), size);
}

// The smallest idle buffer that holds `size` bytes, taken out of the pool; none is no pages.
platform::Pages BufferPool::take_idle(std::size_t size) {
  auto fits = [&](const Idle& idle) { return idle.pages.size() >= size; };
  auto candidates = idle_ | std::views::filter(fits);
  auto best =
      std::ranges::min_element(candidates, {}, [](const Idle& idle) { return idle.pages.size(); });
  if (best == candidates.end()) return {};
  platform::Pages pages = std::move(best->pages);
  idle_.erase(best.base());
  return pages;
}

void BufferPool::give_back(platform::Pages pages) noexcept {
  platform::Pages leaving;  // unmapped last, unlocked
  std::unique_lock lock(mutex_);
  bool none_idle = idle_.empty();
  if (idle_.size() == IDLE_LIMIT) {
    leaving = std::move(idle_.front().pages);
    idle_.erase(idle_.begin());
  }
  idle_.push_back({std::move(pages), Clock::now()});  // within the room reserved: cannot throw
  lock.unlock();
  // Only a pool that had nothing idle wakes the releaser: it times the rest by their ages.
  if (none_idle) returned_.notify_one();
}

void BufferPool::release_idle() {
  std::vector<Idle> leaving;  // unmapped last, unlocked
  std::lock_guard lock(mutex_);
  leaving.swap(idle_);
  idle_.reserve(IDLE_LIMIT);
}

std::size_t BufferPool::idle_count() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

void BufferPool::release_when_quiet(Clock::duration quiet) {
  std::unique_lock lock(mutex_);
  for (;;) {
    returned_.wait(lock, [&] { return !idle_.empty(); });
    if (auto due = idle_.front().since + quiet; Clock::now() < due) {
      returned_.wait_until(lock, due);
      continue;
    }
    {
      platform::Pages leaving = std::move(idle_.front().pages);
      idle_.erase(idle_.begin());
      lock.unlock();
    }  // unmapped unlocked
    // With the last idle buffer gone, what the runs of small frames left free on the heap goes
    // too.
    lock.lock();
    if (idle_.empty()) platform::trim_heap();
  }
}

}  // namespace velmora
