// Ending the process, and the facts about the running process that the host needs.
#pragma once

namespace velmora::platform {

// Ends the whole process with `status` at once: no exit handlers, no flushing of C stdio, no
// waiting for locks that other threads hold.
[[noreturn]] void exit_process(int status);

}  // namespace velmora::platform
