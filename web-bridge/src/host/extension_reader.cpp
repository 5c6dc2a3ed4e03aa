#include "host/extension_reader.h"

#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

namespace {

// Reading stops for good at the end of input, a read error or a bad length, and when the
// queue's receiving end is gone; each of these ends the process quietly.
void pass_on(FrameSender& sender, std::expected<Payload, IoError> payload) {
  if (!payload || !sender.send(std::move(*payload))) platform::exit_process(0);
}

void fill_or_end(BufferedReader& input) {
  for (;;) {
    auto filled = input.fill();
    if (filled && *filled > 0) return;
    if (!filled && filled.error().kind() == IoError::Kind::Interrupted) continue;
    platform::exit_process(0);
  }
}

}  // namespace

void extension_reader(FrameSender sender) {
  // Held for the rest of the thread's life: this is the only reader of standard input.
  std::lock_guard lock(platform::standard_input_lock());
  BufferedReader input(platform::standard_input());
  // The first frame goes alone: it may be the launch request, which is looked at as a message.
  pass_on(sender, read_frame(input));
  for (;;) {
    fill_or_end(input);
    // The whole frames that one read brought in go on as one run, lengths checked and bytes
    // unchanged: one copy and one wake-up of the forwarder for all of them.
    if (std::size_t whole = whole_frames_length(input.buffered()); whole > 0) {
      auto run = input.buffered().first(whole);
      if (!sender.send_framed(Payload(run.begin(), run.end()))) platform::exit_process(0);
      input.consume(whole);
      continue;
    }
    // A frame not yet whole (or a bad length): a large one is read straight into its own buffer.
    pass_on(sender, read_frame(input));
  }
}

}  // namespace velmora
