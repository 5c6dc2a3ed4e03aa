#include "host/agent_writer.h"

namespace velmora {

std::expected<void, WireFrames> AgentWriter::send(WireFrames frames) {
  if (unwritten_.load(std::memory_order_acquire) == 0 && frames.heap_bytes() > 0 &&
      frames.size() <= DIRECT_WRITE_MAX) {
    std::size_t written = write_now_(frames.head());
    if (written == frames.size()) return {};
    frames.drop_written(written);
  }
  // Counted before it is queued, so the forwarder never counts it written first.
  unwritten_.fetch_add(1, std::memory_order_relaxed);
  return queue_.send(std::move(frames));
}

void AgentWriter::let_reader_write(WriteNow write_now) {
  write_now_ = std::move(write_now);
  written(1);
}

}  // namespace velmora
