#include "host/extension_reader.h"

#include <vector>

#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

void extension_reader(FrameSender sender) {
  // Held for the rest of the thread's life: this is the only reader of standard input.
  std::lock_guard lock(platform::standard_input_lock());
  BufferedReader input(platform::standard_input());
  for (;;) {
    auto payload = read_frame(input);
    if (!payload) platform::exit_process(0);
    std::vector<Payload> batch;
    batch.push_back(std::move(*payload));
    // The frames already read ahead are queued with it, waking the forwarder once for all.
    while (whole_frame_buffered(input)) {
      auto next = read_frame(input);  // from memory: it cannot fail
      if (!next) break;
      batch.push_back(std::move(*next));
    }
    if (!sender.send_all(std::move(batch))) platform::exit_process(0);
  }
}

}  // namespace velmora
