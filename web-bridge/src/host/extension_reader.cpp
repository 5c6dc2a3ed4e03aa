#include "host/extension_reader.h"

#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

void extension_reader(FrameSender sender) {
  // Held for the rest of the thread's life: this is the only reader of standard input.
  std::lock_guard lock(platform::standard_input_lock());
  BufferedReader input(platform::standard_input());
  for (;;) {
    auto payload = read_frame(input);
    if (!payload || !sender.send(std::move(*payload))) platform::exit_process(0);
  }
}

}  // namespace velmora
