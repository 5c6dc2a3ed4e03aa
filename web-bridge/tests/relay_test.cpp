// Relaying the agent's frames to the extension: the same frames whatever the reads, and frames
// read together leave together.
#include "host/relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "buffer_pool.h"
#include "frame.h"
#include "test.h"

namespace velmora {
namespace {

using test::bytes;
using test::ChunkedWriter;
using test::frames_of;

// A reader that hands out at most `chunk` bytes per read; with `interrupts`, every other read
// fails as interrupted first.
class ChunkedReader final : public Reader {
 public:
  explicit ChunkedReader(Payload input, std::size_t chunk = SIZE_MAX, bool interrupts = false)
      : input_(std::move(input)), chunk_(chunk), interrupts_(interrupts) {}
  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override {
    if (interrupts_ && (reads_++ % 2 == 0)) return std::unexpected(IoError::os(4, true));
    std::size_t count = std::min({into.size(), input_.size() - at_, chunk_});
    std::copy_n(input_.begin() + static_cast<long>(at_), count, into.begin());
    at_ += count;
    return count;
  }

 private:
  Payload input_;
  std::size_t chunk_;
  bool interrupts_;
  std::size_t at_ = 0;
  std::size_t reads_ = 0;
};

TEST(RelayToExtension, SameFramesWhateverTheReadsAndABadFrameEndsAfterThem) {
  std::vector<Payload> payloads;
  for (int i = 0; i < 600; ++i) payloads.push_back(bytes(std::to_string(i)));
  payloads.push_back(Payload(BufferedReader::CAPACITY * 3, std::byte{0x42}));
  payloads.push_back(bytes("last"));
  Payload input = frames_of(payloads);
  input.insert(input.end(), {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}});
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{100000}, SIZE_MAX}) {
    for (bool interrupts : {false, true}) {
      ChunkedReader agent(input, chunk, interrupts);
      ChunkedWriter extension(std::size_t{1} << 30, true);
      IoError error = relay_to_extension(agent, extension, *std::make_shared<BufferPool>());
      EXPECT_EQ(error.display(), "bad frame length") << "chunk " << chunk << " " << interrupts;
      EXPECT_TRUE(extension.output == frames_of(payloads)) << "chunk " << chunk;
    }
  }
}

TEST(RelayToExtension, FramesReadTogetherLeaveInOneCall) {
  std::vector<Payload> payloads(600, bytes("{}"));
  ChunkedReader agent(frames_of(payloads));
  ChunkedWriter extension(std::size_t{1} << 30, true);
  EXPECT_EQ(relay_to_extension(agent, extension, *std::make_shared<BufferPool>()).display(),
            "failed to fill whole buffer");
  EXPECT_EQ(extension.output, frames_of(payloads));
  EXPECT_EQ(extension.calls, 1);
}

}  // namespace
}  // namespace velmora
