// The relay: once linked, frames flow both ways unchanged until one side goes away. The
// forwarder thread carries the extension's frames to the agent; the main thread carries the
// agent's frames to the extension.
#pragma once

#include <optional>

#include "errors.h"
#include "frame.h"
#include "frame_queue.h"
#include "platform/socket.h"

namespace velmora {

// Starts the forwarder and relays agent frames to standard output on this thread. Ends only
// with the error that stopped it.
HostError relay(platform::Socket stream, FrameReceiver receiver, std::optional<WireFrames> first);

// The forwarder thread body: the first message's frames, then every queued run, to the agent. Any
// failure shuts the connection down both ways and ends the process with status 0.
[[noreturn]] void forwarder(platform::Socket stream, FrameReceiver receiver,
                            std::optional<WireFrames> first);

// Copies frames from the agent to the extension, unchanged and in order, until a read or write
// fails.
IoError relay_to_extension(Reader& agent, Writer& extension);

}  // namespace velmora
