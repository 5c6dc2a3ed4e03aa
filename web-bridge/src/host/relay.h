// The relay: once linked, frames flow both ways unchanged until one side goes away. The
// forwarder thread carries the extension's frames to the agent; the main thread carries the
// agent's frames to the extension.
#pragma once

#include <memory>
#include <optional>

#include "buffer_pool.h"
#include "errors.h"
#include "frame.h"
#include "frame_queue.h"
#include "platform/socket.h"

namespace velmora {
class AgentWriter;
}

namespace velmora {

// Starts the forwarder, and the thread that gives `large`'s idle buffers back to the system
// half a second after the last came back (and the standard pipes their size, half a second after
// bulk traffic last passed), then relays agent frames to standard output on this
// thread, taking large frames' buffers from `large` too. The forwarder writes through `writer`'s
// rules, which the reader's sends follow too. Ends only with the error that stopped it;
// `receiver` is taken only once the forwarder starts, so a failure before leaves the queue open.
HostError relay(platform::Socket stream, FrameReceiver&& receiver, std::optional<WireFrames> first,
                std::shared_ptr<AgentWriter> writer, std::shared_ptr<BufferPool> large);

// Copies frames from the agent to the extension, unchanged and in order, until a read or write
// fails. Each large frame's buffer goes back to `large` once written.
IoError relay_to_extension(Reader& agent, Writer& extension, BufferPool& large);

// Bulk traffic passed in either direction: the standard pipes grow until it has stopped.
void bulk_passed(BufferPool& large);

}  // namespace velmora
