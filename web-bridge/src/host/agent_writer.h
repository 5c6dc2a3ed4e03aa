// The agent connection's write side, as the two threads that write to it share it: the
// forwarder writes what was queued, and the extension reader writes a run of small frames itself
// when nothing is queued or being written, one hand-over between threads less for each message.
#pragma once

#include <atomic>
#include <cstddef>
#include <expected>
#include <functional>

#include "frame.h"
#include "frame_queue.h"

namespace velmora {

// The largest run the reader writes itself: whatever one read of its buffer brought. A run that
// goes at once costs one call, with no copy and no hand-over between threads.
inline constexpr std::size_t DIRECT_WRITE_MAX = BufferedReader::CAPACITY;

// Writes what goes at once, never waiting, and gives how many bytes went (0 for none, whatever
// the reason: a lasting failure is met by the forwarder's own next write).
using WriteNow = std::function<std::size_t(ByteSpan)>;

class AgentWriter {
 public:
  explicit AgentWriter(FrameSender queue) : queue_(std::move(queue)) {}

  // Reader thread. Never blocks: writes a run still lying in the reader's buffer by write_now
  // when the reader may, and queues whatever did not go. When the queue's receiving end is gone
  // the frames are handed back.
  std::expected<void, WireFrames> send(FrameRun frames);
  // Forwarder thread, once the first message is out: from now on the reader may write with
  // `write_now` whenever everything it queued has been written. Called once.
  void let_reader_write(WriteNow write_now);
  // Forwarder thread: `runs` received from the queue have been written.
  void written(std::size_t runs) { unwritten_.fetch_sub(runs, std::memory_order_release); }

 private:
  FrameSender queue_;
  WriteNow write_now_;
  // Runs queued and not yet written, plus one until the reader may write: only the reader adds,
  // so once it reads 0 the forwarder has nothing to write until the reader queues again.
  std::atomic<std::size_t> unwritten_{1};
};

}  // namespace velmora
