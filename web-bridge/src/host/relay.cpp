#include "host/relay.h"

#include <mutex>
#include <vector>

#include "host/agent_writer.h"
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

// The first message's frames, then every queued run, to the agent; once the first is out, the
// reader may write small runs itself while this thread waits. Any failure shuts the connection
// down both ways and ends the process with status 0.
[[noreturn]] void forwarder(platform::Socket stream, FrameReceiver receiver,
                            std::optional<WireFrames> first, std::shared_ptr<AgentWriter> writer,
                            std::shared_ptr<BufferPool> large) {
  if (first) {
    if (!write_frames(stream, std::span(&*first, 1))) end_forwarding(stream);
    writer->written(1);
  }
  first.reset();
  // `stream` lives as long as the process: this thread never returns.
  if constexpr (platform::Socket::WRITES_NOW) {
    writer->let_reader_write([&stream](ByteSpan bytes) { return stream.write_now(bytes); });
  }
  std::vector<WireFrames> batch;
  for (;;) {
    auto frames = receiver.receive();
    if (!frames) end_forwarding(stream);
    batch.push_back(std::move(*frames));
    // What queued up meanwhile goes out in the same call; the byte cap keeps large frames
    // from being held until a long batch has gone.
    receiver.take_queued(batch, MAX_GATHERED_RUNS, GATHERED_BYTES);
    if (!write_frames(stream, batch)) end_forwarding(stream);
    writer->written(batch.size());
    std::size_t heap_cost = 0;
    for (const WireFrames& run : batch) heap_cost += run.heap_cost();
    batch.clear();  // large buffers go back to the pool for the reader's next frames
    if (heap_cost > 0) large->heap_freed(heap_cost);
  }
}

}  // namespace

void bulk_passed(BufferPool& large) {
  platform::enlarge_standard_pipes();
  large.bulk_passed();
}

IoError relay_to_extension(Reader& agent, Writer& extension, BufferPool& large) {
  BufferedReader input(agent);
  for (;;) {
    // Frames already buffered go out from where they lie, many in one call, uncopied; a large
    // frame's pieces go back to the pool as they go.
    auto frames = read_frames(input, large);
    if (!frames) return frames.error();
    if (frames->bulk()) bulk_passed(large);
    if (auto written = std::move(*frames).write_to(extension); !written) return written.error();
  }
}

HostError relay(platform::Socket stream, FrameReceiver&& receiver, std::optional<WireFrames> first,
                std::shared_ptr<AgentWriter> writer, std::shared_ptr<BufferPool> large) {
  auto reading = stream.duplicate();
  if (!reading) return reading.error();
  spawn_detached([s = std::move(stream), r = std::move(receiver), f = std::move(first),
                  w = std::move(writer), large]() mutable {
    forwarder(std::move(s), std::move(r), std::move(f), std::move(w), large);
  });
  // Once bulk traffic has stopped, the pipes go back to the size they had.
  spawn_detached(
      [large] { large->release_when_quiet(BufferPool::QUIET, platform::restore_standard_pipes); });
  std::lock_guard lock(platform::standard_output_lock());
  return relay_to_extension(*reading, platform::standard_output(), *large);
}

}  // namespace velmora
