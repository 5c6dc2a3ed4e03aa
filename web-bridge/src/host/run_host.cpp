#include "host/run_host.h"

#include <optional>
#include <vector>

#include "bridge_file.h"
#include "frame_queue.h"
#include "host/agent_writer.h"
#include "host/connector.h"
#include "host/extension_reader.h"
#include "host/handshake.h"
#include "host/launch.h"
#include "host/messages.h"
#include "host/relay.h"
#include "host/threads.h"
#include "host/timings.h"
#include "platform/pages.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

namespace {

// The first run of frames read from the extension: its first frame is the first message, and
// any frames after it in the run stay there, to be forwarded after it.
std::optional<WireFrames> first_message(FrameReceiver& receiver) {
  // A time-out and a closed queue both mean there is no first message.
  auto frames = receiver.receive_for(FIRST_MESSAGE_WAIT);
  if (!frames) return std::nullopt;
  return std::move(*frames);
}

std::expected<void, HostError> link_and_relay(const std::filesystem::path& bridge_file,
                                              FrameReceiver&& receiver,
                                              std::optional<WireFrames> first,
                                              std::shared_ptr<AgentWriter> writer,
                                              std::shared_ptr<BufferPool> large) {
  auto link = connect_agent(bridge_file, LINK_DEADLINE);
  if (!link) return std::unexpected(link.error());
  if (auto linked = link_agent(link->stream, link->bridge.token); !linked) return linked;
  return std::unexpected(relay(std::move(link->stream), std::move(receiver), std::move(first),
                               std::move(writer), std::move(large)));
}

}  // namespace

std::expected<void, HostError> run_host() {
  platform::prepare_standard_streams();
  // One heap, so that the memory of a backlog of small frames can all be given back.
  platform::share_one_heap();
  auto bridge_file = bridge_file_path();
  if (!bridge_file) return std::unexpected(PlainMessage{"no config directory"});

  auto [sender, receiver] = make_frame_queue();
  // Large frames of both directions share one pool: what the runs of one direction leave idle
  // serves the other.
  auto large = std::make_shared<BufferPool>();
  // The reader writes to the agent itself once the forwarder lets it; until then it only queues.
  auto writer = std::make_shared<AgentWriter>(std::move(sender));
  spawn_detached([writer, large] { extension_reader(writer, large); });

  auto first = first_message(receiver);
  std::vector<std::byte> joined;
  // Later frames wait during a launch and end with the process.
  auto ran = first && is_launch_request(first->first_payload(joined))
                 ? handle_launch_request(*bridge_file)
                 : link_and_relay(*bridge_file, std::move(receiver), std::move(first),
                                  std::move(writer), std::move(large));
  // A failure claims the end before the queue's receiving end goes: the reader, whose next send
  // then fails, must not end the process with status 0 because of it.
  if (!ran) platform::claim_process_end(1);
  return ran;
}

}  // namespace velmora
