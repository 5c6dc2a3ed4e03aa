#include "frame_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace velmora {

namespace detail {
struct QueueState {
  std::mutex mutex;
  std::condition_variable available;
  std::deque<WireFrames> items;
  bool sender_alive = true;
  bool receiver_alive = true;
};
}  // namespace detail

std::pair<FrameSender, FrameReceiver> make_frame_queue() {
  auto state = std::make_shared<detail::QueueState>();
  return {FrameSender(state), FrameReceiver(state)};
}

void FrameSender::release() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->sender_alive = false;
  }
  state_->available.notify_all();
  state_.reset();
}

FrameSender& FrameSender::operator=(FrameSender&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
  }
  return *this;
}

FrameSender::~FrameSender() {
  release();
}

std::expected<void, WireFrames> FrameSender::send(WireFrames frames) {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->receiver_alive) return std::unexpected(std::move(frames));
    state_->items.push_back(std::move(frames));
  }
  state_->available.notify_one();
  return {};
}

void FrameReceiver::release() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    state_->items.clear();
  }
  state_.reset();
}

FrameReceiver& FrameReceiver::operator=(FrameReceiver&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
  }
  return *this;
}

FrameReceiver::~FrameReceiver() {
  release();
}

namespace {

bool ready(const detail::QueueState& state) {
  return !state.items.empty() || !state.sender_alive;
}

std::expected<WireFrames, FrameReceiver::Error> take_front(detail::QueueState& state) {
  if (state.items.empty()) {
    return std::unexpected(state.sender_alive ? FrameReceiver::Error::Timeout
                                              : FrameReceiver::Error::Closed);
  }
  WireFrames item = std::move(state.items.front());
  state.items.pop_front();
  return item;
}

}  // namespace

std::expected<WireFrames, FrameReceiver::Error> FrameReceiver::receive() {
  std::unique_lock lock(state_->mutex);
  state_->available.wait(lock, [&] { return ready(*state_); });
  return take_front(*state_);
}

std::expected<WireFrames, FrameReceiver::Error> FrameReceiver::receive_for(
    std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(state_->mutex);
  state_->available.wait_for(lock, timeout, [&] { return ready(*state_); });
  return take_front(*state_);
}

std::size_t FrameReceiver::take_queued(std::vector<WireFrames>& into, std::size_t max_count,
                                       std::size_t max_bytes) {
  std::size_t bytes = 0;
  for (const auto& item : into) bytes += item.size();
  std::lock_guard lock(state_->mutex);
  std::size_t moved = 0;
  while (!state_->items.empty() && into.size() < max_count && bytes < max_bytes) {
    bytes += state_->items.front().size();
    into.push_back(std::move(state_->items.front()));
    state_->items.pop_front();
    ++moved;
  }
  return moved;
}

}  // namespace velmora
