// FrameQueue: the unbounded first-in-first-out queue of whole frames, in runs as they were read,
// between the extension reader and whoever forwards them, with one sending and one receiving end.
#pragma once

#include <chrono>
#include <expected>
#include <memory>
#include <utility>
#include <vector>

#include "frame.h"

namespace velmora {

namespace detail {
struct QueueState;
}

class FrameSender {
 public:
  explicit FrameSender(std::shared_ptr<detail::QueueState> state) : state_(std::move(state)) {}
  FrameSender(FrameSender&&) noexcept = default;
  FrameSender& operator=(FrameSender&&) noexcept;
  ~FrameSender();

  // Never blocks. When the receiving end is gone the frames are handed back.
  std::expected<void, WireFrames> send(WireFrames frames);

 private:
  void release();
  std::shared_ptr<detail::QueueState> state_;
};

class FrameReceiver {
 public:
  enum class Error { Timeout, Closed };

  explicit FrameReceiver(std::shared_ptr<detail::QueueState> state) : state_(std::move(state)) {}
  FrameReceiver(FrameReceiver&&) noexcept = default;
  FrameReceiver& operator=(FrameReceiver&&) noexcept;
  ~FrameReceiver();

  // Waits as long as it takes; Closed once the sender is gone and the queue is empty.
  std::expected<WireFrames, Error> receive();
  std::expected<WireFrames, Error> receive_for(std::chrono::steady_clock::duration timeout);
  // Never waits: moves queued runs, in order, to the end of `into` until it holds
  // `max_count` runs or at least `max_bytes` bytes, and gives how many were moved.
  std::size_t take_queued(std::vector<WireFrames>& into, std::size_t max_count,
                          std::size_t max_bytes);

 private:
  void release();
  std::shared_ptr<detail::QueueState> state_;
};

std::pair<FrameSender, FrameReceiver> make_frame_queue();

}  // namespace velmora
