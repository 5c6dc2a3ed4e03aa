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
  WriteNow write_now;          // set once by the receiver; called unlocked
  bool receiver_busy = false;  // between a receive() that gave frames and the next receive()
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

namespace {

// Queues the frames under `lock`, then wakes the receiver unlocked.
std::expected<void, WireFrames> queue(detail::QueueState& state, std::unique_lock<std::mutex>& lock,
                                      WireFrames frames) {
  if (!state.receiver_alive) return std::unexpected(std::move(frames));
  state.items.push_back(std::move(frames));
  lock.unlock();
  state.available.notify_one();
  return {};
}

}  // namespace

std::expected<void, WireFrames> FrameSender::send(WireFrames frames) {
  std::unique_lock lock(state_->mutex);
  return queue(*state_, lock, std::move(frames));
}

std::expected<void, WireFrames> FrameSender::send_or_write(WireFrames frames) {
  std::unique_lock lock(state_->mutex);
  if (state_->write_now && state_->items.empty() && !state_->receiver_busy &&
      state_->receiver_alive && frames.heap_bytes() > 0 && frames.size() <= DIRECT_WRITE_MAX) {
    // Nothing can be queued meanwhile (this is the only sender), so the receiver keeps
    // waiting and the order holds.
    lock.unlock();
    std::size_t written = state_->write_now(frames.head());
    if (written == frames.size()) return {};
    frames.drop_written(written);
    lock.lock();
  }
  return queue(*state_, lock, std::move(frames));
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
  state_->receiver_busy = false;
  state_->available.wait(lock, [&] { return ready(*state_); });
  auto frames = take_front(*state_);
  state_->receiver_busy = frames.has_value();
  return frames;
}

void FrameReceiver::let_sender_write(WriteNow write_now) {
  std::lock_guard lock(state_->mutex);
  state_->write_now = std::move(write_now);
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
