// FrameQueue: the unbounded first-in-first-out queue of payloads between the extension reader
// and whoever forwards them, with one sending and one receiving end.
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
  // Sends the payloads in their order with one wake-up of the receiver; when the receiving
  // end is gone they are all handed back.
  std::expected<void, std::vector<Payload>> send_all(std::vector<Payload> payloads);

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
  std::expected<Payload, Error> receive();
  std::expected<Payload, Error> receive_for(std::chrono::steady_clock::duration timeout);
  // Never waits: moves queued payloads, in order, to the end of `into` until it holds
  // `max_count` payloads or at least `max_bytes` bytes, and gives how many were moved.
  std::size_t take_queued(std::vector<Payload>& into, std::size_t max_count, std::size_t max_bytes);

 private:
  void release();
  std::shared_ptr<detail::QueueState> state_;
};

std::pair<FrameSender, FrameReceiver> make_frame_queue();

}  // namespace velmora
