// FrameQueue: the unbounded first-in-first-out queue of payloads (and runs of whole frames)
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

  // Never blocks. When the receiving end is gone the payload is handed back.
  std::expected<void, Payload> send(Payload payload);
  // Queues a run of whole frames in their wire form, to be passed on as they stand. Never
  // blocks; when the receiving end is gone the bytes are handed back.
  std::expected<void, Payload> send_framed(Payload frames);

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
  std::expected<OutgoingBytes, Error> receive();
  std::expected<OutgoingBytes, Error> receive_for(std::chrono::steady_clock::duration timeout);
  // Never waits: moves queued items, in order, to the end of `into` until it holds
  // `max_count` items or at least `max_bytes` bytes, and gives how many were moved.
  std::size_t take_queued(std::vector<OutgoingBytes>& into, std::size_t max_count,
                          std::size_t max_bytes);

 private:
  void release();
  std::shared_ptr<detail::QueueState> state_;
};

std::pair<FrameSender, FrameReceiver> make_frame_queue();

}  // namespace velmora
