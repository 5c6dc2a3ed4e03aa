#include "host/extension_reader.h"

#include <chrono>

#include "host/relay.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

namespace {

// With a writer that keeps up, two of the largest frames are enough in hand: one being read and
// one being written; of smaller frames, as many as those have pieces. A writer that has given no
// piece back in this while is not keeping up.
constexpr std::size_t PACED_BYTES = 2 * std::size_t{MAX_FRAME_LEN};
constexpr std::size_t PACED_PIECES = 2 * (MAX_FRAME_LEN / LARGE_PIECE);
constexpr auto PATIENCE = std::chrono::milliseconds(100);

}  // namespace

void extension_reader(FrameSender sender, std::shared_ptr<BufferPool> large) {
  // Held for the rest of the thread's life: this is the only reader of standard input.
  std::lock_guard lock(platform::standard_input_lock());
  BufferedReader input(platform::standard_input());
  auto lane = std::make_shared<PacedLane>(large, PACED_BYTES, PACED_PIECES, PATIENCE);
  for (;;) {
    // Reading stops for good at the end of input, a read error or a bad length, and when the
    // queue's receiving end is gone; each of these ends the process quietly.
    auto frames = read_frames(input, *lane);
    if (frames && frames->bulk()) bulk_passed(*large);
    if (!frames || !sender.send_or_write(std::move(*frames).take())) platform::exit_process(0);
  }
}

}  // namespace velmora
