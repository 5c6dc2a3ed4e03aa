#include "host/agent_writer.h"

namespace velmora {

std::expected<void, WireFrames> AgentWriter::send(FrameRun frames) {
  ByteSpan lying = frames.lying();
  if (unwritten_.load(std::memory_order_acquire) == 0 && !lying.empty() &&
      lying.size() <= DIRECT_WRITE_MAX) {
    std::size_t written = write_now_(lying);
    if (written == lying.size()) return {};
    frames.drop_written(written);
  }
  // Counted before it is queued, so the forwarder never counts it written first. Only what did
  // not go is copied out of the reader's buffer.
  unwritten_.fetch_add(1, std::memory_order_relaxed);
  return queue_.send(std::move(frames).take());
}

void AgentWriter::let_reader_write(WriteNow write_now) {
  write_now_ = std::move(write_now);
  written(1);
}

}  // namespace velmora
