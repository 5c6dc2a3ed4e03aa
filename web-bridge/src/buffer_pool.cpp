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

bool holds(const platform::Pages& pages) {
  return pages.data() != nullptr;
}

}  // namespace

LargeBuffer BufferPool::acquire(std::size_t size) {
  platform::Pages pages;
  {
    std::lock_guard lock(mutex_);
    pages = take_idle(size);
  }
  // Mapping takes a while and needs no lock.
  if (!holds(pages)) pages = platform::Pages(capacity_for(size));
  return LargeBuffer(shared_from_this(), std::move(pages), size);
}

// The smallest idle buffer that holds `size` bytes, taken out of the pool; none is no pages.
platform::Pages BufferPool::take_idle(std::size_t size) {
  auto fits = [&](const platform::Pages& pages) { return holds(pages) && pages.size() >= size; };
  auto candidates = idle_ | std::views::filter(fits);
  auto best = std::ranges::min_element(candidates, {}, &platform::Pages::size);
  if (best == candidates.end()) return {};
  return std::move(*best);
}

// Keeps the largest buffers, since a large one serves smaller frames too: the one coming back
// takes a free slot or the place of a smaller one, which then leaves with `pages`.
void BufferPool::give_back(platform::Pages pages) noexcept {
  std::unique_lock lock(mutex_);
  bool none_idle = std::ranges::none_of(idle_, holds);
  last_return_ = Clock::now();
  auto smallest = std::ranges::min_element(
      idle_, {}, [](const platform::Pages& slot) { return holds(slot) ? slot.size() : 0; });
  if (!holds(*smallest) || smallest->size() < pages.size()) std::swap(*smallest, pages);
  lock.unlock();
  // Only a pool that had nothing idle wakes the releaser: it times the rest by last_return_.
  if (none_idle) returned_.notify_one();
}  // what left unmaps here, unlocked

void BufferPool::release_idle() {
  std::array<platform::Pages, IDLE_LIMIT> leaving;  // unmapped last, unlocked
  std::lock_guard lock(mutex_);
  std::swap(leaving, idle_);
}

std::size_t BufferPool::idle_count() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::ranges::count_if(idle_, holds));
}

void BufferPool::release_when_quiet(Clock::duration quiet) {
  std::unique_lock lock(mutex_);
  for (;;) {
    returned_.wait(lock, [&] { return std::ranges::any_of(idle_, holds); });
    if (auto due = last_return_ + quiet; Clock::now() < due) {
      returned_.wait_until(lock, due);
      continue;
    }
    lock.unlock();
    release_idle();
    platform::trim_heap();  // and what the runs of small frames left free on the heap
    lock.lock();
  }
}

}  // namespace velmora
