#include "host/relay.h"

#include <mutex>
#include <vector>

#include "host/threads.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

namespace {

constexpr std::size_t GATHERED_BYTES = 1024 * 1024;

[[noreturn]] void end_forwarding(platform::Socket& stream) {
  stream.shutdown_both();
  platform::exit_process(0);
}

}  // namespace

void forwarder(platform::Socket stream, FrameReceiver receiver, std::optional<WireFrames> first) {
  if (first && !write_frames(stream, std::span(&*first, 1))) end_forwarding(stream);
  first.reset();
  std::vector<WireFrames> batch;
  for (;;) {
    auto frames = receiver.receive();
    if (!frames) end_forwarding(stream);
    batch.push_back(std::move(*frames));
    // What queued up meanwhile goes out in the same call; the byte cap keeps large frames
    // from being held until a long batch has gone.
    receiver.take_queued(batch, MAX_GATHERED_RUNS, GATHERED_BYTES);
    if (!write_frames(stream, batch)) end_forwarding(stream);
    batch.clear();  // large buffers go back to the pool for the reader's next frames
  }
}

IoError relay_to_extension(Reader& agent, Writer& extension, LargeBufferSource& large) {
  BufferedReader input(agent);
  for (;;) {
    // Frames already buffered go out from where they lie, many in one call, uncopied.
    auto frames = read_frames(input, large);
    if (!frames) return frames.error();
    if (auto written = write_all(extension, frames->bytes()); !written) return written.error();
  }
}

HostError relay(platform::Socket stream, FrameReceiver&& receiver, std::optional<WireFrames> first,
                std::shared_ptr<BufferPool> large) {
  auto reading = stream.duplicate();
  if (!reading) return reading.error();
  spawn_detached([s = std::move(stream), r = std::move(receiver), f = std::move(first)]() mutable {
    forwarder(std::move(s), std::move(r), std::move(f));
  });
  spawn_detached([large] { large->release_when_quiet(); });
  std::lock_guard lock(platform::standard_output_lock());
  return relay_to_extension(*reading, platform::standard_output(), *large);
}

}  // namespace velmora
