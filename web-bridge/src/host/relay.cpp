#include "host/relay.h"

#include <chrono>
#include <mutex>
#include <vector>

#include "host/threads.h"
#include "platform/pages.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

namespace {

constexpr std::size_t GATHERED_BYTES = 1024 * 1024;
// Idle buffers older than this go back to the system: well within a second of the traffic
// stopping, and long enough that a pause between bursts of large frames costs nothing.
constexpr auto IDLE_RELEASE = std::chrono::milliseconds(500);

[[noreturn]] void end_forwarding(platform::Socket& stream) {
  stream.shutdown_both();
  platform::exit_process(0);
}

// The next queued run. While the pool holds idle buffers the wait is timed, and half a second in
// which no buffer comes back gives them back to the system; with none idle it waits as long as
// it takes, costing nothing.
std::expected<WireFrames, FrameReceiver::Error> receive_releasing(FrameReceiver& receiver,
                                                                  BufferPool& large) {
  for (;;) {
    auto since = large.idle_since();
    auto frames = since ? receiver.receive_for(*since + IDLE_RELEASE - BufferPool::Clock::now())
                        : receiver.receive();
    if (frames || frames.error() == FrameReceiver::Error::Closed) return frames;
    if (frames.error() != FrameReceiver::Error::Timeout) continue;
    large.release_idle(IDLE_RELEASE);
    platform::trim_heap();  // and what the runs of small frames left free on the heap
  }
}

}  // namespace

void forwarder(platform::Socket stream, FrameReceiver receiver, std::optional<WireFrames> first,
               std::shared_ptr<BufferPool> large) {
  // A buffer coming back to an empty pool, from either direction, starts the idle timing.
  large->on_idle(receiver.waker());
  if (first && !write_frames(stream, std::span(&*first, 1))) end_forwarding(stream);
  first.reset();
  std::vector<WireFrames> batch;
  for (;;) {
    auto frames = receive_releasing(receiver, *large);
    if (!frames) end_forwarding(stream);
    batch.push_back(std::move(*frames));
    // What queued up meanwhile goes out in the same call; the byte cap keeps large frames
    // from being held until a long batch has gone.
    receiver.take_queued(batch, MAX_GATHERED_RUNS, GATHERED_BYTES);
    if (!write_frames(stream, batch)) end_forwarding(stream);
    batch.clear();  // large buffers go back to the pool for the reader's next frames
  }
}

IoError relay_to_extension(Reader& agent, Writer& extension, BufferPool& large) {
  BufferedReader input(agent);
  for (;;) {
    // Frames already buffered go out from where they lie, many in one call, uncopied.
    auto frames = read_frames(input, large, Pacing::Free);
    if (!frames) return frames.error();
    if (auto written = write_all(extension, frames->bytes()); !written) return written.error();
  }
}

HostError relay(platform::Socket stream, FrameReceiver receiver, std::optional<WireFrames> first,
                std::shared_ptr<BufferPool> large) {
  auto reading = stream.duplicate();
  if (!reading) return reading.error();
  spawn_detached([s = std::move(stream), r = std::move(receiver), f = std::move(first),
                  large]() mutable { forwarder(std::move(s), std::move(r), std::move(f), large); });
  std::lock_guard lock(platform::standard_output_lock());
  return relay_to_extension(*reading, platform::standard_output(), *large);
}

}  // namespace velmora
