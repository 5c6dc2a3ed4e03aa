#include "buffer_pool.h"

#include <algorithm>
#include <bit>

namespace velmora {

LargeBuffer::LargeBuffer(std::shared_ptr<BufferPool> pool, platform::Pages pages, std::size_t size,
                         bool paced) noexcept
    : pool_(std::move(pool)), pages_(std::move(pages)), size_(size), paced_(paced) {}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
  if (this != &other) {
    give_back();
    pool_ = std::move(other.pool_);
    pages_ = std::move(other.pages_);
    size_ = std::exchange(other.size_, 0);
    paced_ = other.paced_;
  }
  return *this;
}

void LargeBuffer::give_back() noexcept {
  if (!pool_) return;
  std::exchange(pool_, nullptr)->give_back(std::move(pages_), paced_);
  size_ = 0;
}

namespace {

// Sizes go up in steps of an eighth of their power of two, so frames of about the same size
// share buffers and no buffer is more than an eighth larger than its frame needs.
std::size_t capacity_for(std::size_t size) {
  std::size_t step = std::max<std::size_t>(std::bit_floor(size) / 8, 1);
  return (size + step - 1) / step * step;
}

}  // namespace

LargeBuffer BufferPool::acquire(std::size_t size, Pacing pacing) {
  std::unique_lock lock(mutex_);
  if (pacing == Pacing::Paced) wait_for_room(lock);
  platform::Pages pages = take_idle(size);
  if (!pages.data()) {
    lock.unlock();  // fresh pages need no lock, and mapping them takes a while
    pages = platform::Pages(capacity_for(size));
    lock.lock();
  }
  if (pacing == Pacing::Paced) ++paced_out_;
  return LargeBuffer(shared_from_this(), std::move(pages), size, pacing == Pacing::Paced);
}

void BufferPool::wait_for_room(std::unique_lock<std::mutex>& lock) {
  while (paced_out_ >= limits_.in_flight && !stalled_) {
    std::size_t seen = paced_returns_;
    if (!returned_.wait_for(lock, limits_.stall, [&] { return paced_returns_ != seen; }))
      stalled_ = true;
  }
}

// The smallest idle buffer that holds `size` bytes, taken out of the pool; none is no pages.
platform::Pages BufferPool::take_idle(std::size_t size) {
  auto best = idle_.end();
  for (auto it = idle_.begin(); it != idle_.end(); ++it) {
    if (it->size() >= size && (best == idle_.end() || it->size() < best->size())) best = it;
  }
  if (best == idle_.end()) return {};
  platform::Pages pages = std::move(*best);
  idle_.erase(best);
  return pages;
}

// Keeps the largest buffers within the idle limit, since a large one serves smaller frames too;
// one beyond it leaves with `pages`, unmapped once unlocked.
void BufferPool::keep_largest(platform::Pages& pages) noexcept {
  if (idle_.size() < limits_.idle) {
    idle_.push_back(std::move(pages));  // room reserved up front: this cannot throw
    return;
  }
  auto smallest = std::ranges::min_element(idle_, {}, &platform::Pages::size);
  if (smallest != idle_.end() && smallest->size() < pages.size()) std::swap(*smallest, pages);
}

void BufferPool::give_back(platform::Pages pages, bool paced) noexcept {
  std::shared_ptr<const std::function<void()>> hook;
  {
    std::lock_guard lock(mutex_);
    last_return_ = Clock::now();
    if (paced) {
      --paced_out_;
      ++paced_returns_;
      stalled_ = false;
    }
    // Only a release nobody is timing needs a wake-up: a buffer that one thread takes and
    // gives back frame after frame would otherwise wake the timer every frame.
    if (idle_.empty() && !timed_) {
      hook = on_idle_;
      timed_ = true;
    }
    keep_largest(pages);
  }
  returned_.notify_all();
  if (hook) (*hook)();
}

void BufferPool::release_idle(Clock::duration quiet) {
  std::vector<platform::Pages> leaving;  // unmapped last, unlocked
  std::lock_guard lock(mutex_);
  if (Clock::now() - last_return_ < quiet) return;
  leaving.swap(idle_);
  idle_.reserve(limits_.idle);
}

std::optional<BufferPool::Clock::time_point> BufferPool::idle_since() const {
  std::lock_guard lock(mutex_);
  timed_ = !idle_.empty();
  if (!timed_) return std::nullopt;
  return last_return_;
}

std::size_t BufferPool::idle_count() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

void BufferPool::on_idle(std::function<void()> hook) {
  auto shared = std::make_shared<const std::function<void()>>(std::move(hook));
  std::lock_guard lock(mutex_);
  on_idle_ = std::move(shared);
}

}  // namespace velmora
