#include "host/relay.h"

#include <mutex>

#include "host/threads.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

namespace {

[[noreturn]] void end_forwarding(platform::Socket& stream) {
  stream.shutdown_both();
  platform::exit_process(0);
}

}  // namespace

void forwarder(platform::Socket stream, FrameReceiver receiver, std::optional<Payload> first) {
  if (first && !write_frame(stream, *first)) end_forwarding(stream);
  first.reset();
  for (;;) {
    auto payload = receiver.receive();
    if (!payload || !write_frame(stream, *payload)) end_forwarding(stream);
  }
}

IoError relay_to_extension(Reader& agent, Writer& extension) {
  BufferedReader input(agent);
  for (;;) {
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
