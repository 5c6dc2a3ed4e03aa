// FrameQueue: the unbounded first-in-first-out queue of whole frames, in runs as they were read,
// between the extension reader and whoever forwards them, with one sending and one receiving end.
// Once the receiver allows it, a sender that finds the queue empty and the receiver waiting
// writes a run of small frames itself: one hand-over between threads less for each message.
#pragma once

#include <chrono>
#include <expected>
#include <functional>
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
  // Like send, but a run on the heap of at most DIRECT_WRITE_MAX bytes goes out by the
  // receiver's write_now when nothing is queued and the receiver is waiting; whatever did not
  // go at once is queued.
  std::expected<void, WireFrames> send_or_write(WireFrames frames);

 private:
  void release();
  std::shared_ptr<detail::QueueState> state_;
};

// The largest run a sender writes itself: a message or a few, where the hand-over costs most.
// Larger runs come from a stream, which the receiver's batched writes carry better.
inline constexpr std::size_t DIRECT_WRITE_MAX = 16 * 1024;

// Writes what goes at once, never waiting, and gives how many bytes went (0 for none, whatever
// the reason: a lasting failure is met by the receiver's own next write).
using WriteNow = std::function<std::size_t(std::span<const std::byte>)>;

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
  // From now on the sender may write with `write_now` while this end waits in receive(), the
  // stream's only writer then. Set once, before the first receive().
  void let_sender_write(WriteNow write_now);

 private:
  void release();
  std::shared_ptr<detail::QueueState> state_;
};

std::pair<FrameSender, FrameReceiver> make_frame_queue();

}  // namespace velmora
