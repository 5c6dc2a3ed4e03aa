#include "host/extension_reader.h"

#include "host/relay.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

void extension_reader(std::shared_ptr<AgentWriter> writer, std::shared_ptr<BufferPool> large) {
  // Held for the rest of the thread's life: this is the only reader of standard input.
  std::lock_guard lock(platform::standard_input_lock());
  BufferedReader input(platform::standard_input());
  for (;;) {
    // Reading stops for good at the end of input, a read error or a bad length, and when the
    // queue's receiving end is gone; each of these ends the process quietly.
    auto frames = read_frames(input, *large);
    if (frames && frames->bulk()) bulk_passed(*large);
    if (!frames || !writer->send(std::move(*frames))) platform::exit_process(0);
  }
}

}  // namespace velmora
