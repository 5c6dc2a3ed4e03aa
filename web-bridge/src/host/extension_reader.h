// The extension reader: the thread that reads the browser's frames from standard input into the
// FrameQueue for the whole life of the process, and ends the process when that input ends.
#pragma once

#include <memory>

#include "buffer_pool.h"
#include "host/agent_writer.h"

namespace velmora {

// Never returns: any read failure, bad frame or closed queue ends the process with status 0.
// Large frames go into buffers of `large`, which the forwarder gives back once written; the reader
// never waits for them, however far the agent falls behind.
[[noreturn]] void extension_reader(std::shared_ptr<AgentWriter> writer,
                                   std::shared_ptr<BufferPool> large);

}  // namespace velmora
