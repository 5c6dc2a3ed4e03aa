// The extension reader: the thread that reads the browser's frames from standard input into the
// FrameQueue for the whole life of the process, and ends the process when that input ends.
#pragma once

#include "frame_queue.h"

namespace velmora {

// Never returns: any read failure, bad frame or closed queue ends the process with status 0.
[[noreturn]] void extension_reader(FrameSender sender);

}  // namespace velmora
