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

void forwarder(platform::Socket stream, FrameReceiver receiver, std::optional<Payload> first) {
  if (first && !write_frame(stream, *first)) end_forwarding(stream);
  first.reset();
  std::vector<OutgoingBytes> batch;
  for (;;) {
    auto payload = receiver.receive();
    if (!payload) end_forwarding(stream);
    batch.push_back(std::move(*payload));
    // What queued up meanwhile goes out in the same call; the byte cap keeps large payloads
    // from being held until a long batch has gone.
    receiver.take_queued(batch, MAX_GATHERED_FRAMES, GATHERED_BYTES);
    if (!write_frames(stream, batch)) end_forwarding(stream);
    batch.clear();
  }
}

IoError relay_to_extension(Reader& agent, Writer& extension) {
  BufferedReader input(agent);
  for (;;) {
    auto filled = input.fill();
    if (!filled && filled.error().kind() == IoError::Kind::Interrupted) continue;
    if (!filled) return filled.error();
    if (*filled == 0) return IoError::unexpected_eof();
    // Whole frames already read go out as they lie in the buffer, in one call: their lengths
    // are checked, their bytes neither copied nor waiting for a read.
    if (std::size_t whole = whole_frames_length(input.buffered()); whole > 0) {
      if (auto written = write_all(extension, input.buffered().first(whole)); !written) {
        return written.error();
      }
      if (auto flushed = extension.flush(); !flushed) return flushed.error();
      input.consume(whole);
      continue;
    }
    // A frame not yet whole (or a bad length): read it into its own buffer, then write it.
    auto payload = read_frame(input);
    if (!payload) return payload.error();
    if (auto written = write_frame(extension, *payload); !written) return written.error();
  }
}

HostError relay(platform::Socket stream, FrameReceiver receiver, std::optional<Payload> first) {
  auto reading = stream.duplicate();
  if (!reading) return reading.error();
  spawn_detached([s = std::move(stream), r = std::move(receiver), f = std::move(first)]() mutable {
    forwarder(std::move(s), std::move(r), std::move(f));
  });
  std::lock_guard lock(platform::standard_output_lock());
  return relay_to_extension(*reading, platform::standard_output());
}

}  // namespace velmora
