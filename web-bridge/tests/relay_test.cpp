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
using test::MemoryStream;

TEST(RelayToExtension, SameFramesWhateverTheReadsAndABadFrameEndsAfterThem) {
  std::vector<Payload> payloads;
  for (int i = 0; i < 600; ++i) payloads.push_back(bytes(std::to_string(i)));
  payloads.push_back(Payload(BufferedReader::CAPACITY * 3, std::byte{0x42}));
  payloads.push_back(bytes("last"));
  Payload input = frames_of(payloads);
  input.insert(input.end(), {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}});
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{100000}, SIZE_MAX}) {
    for (bool interrupts : {false, true}) {
      MemoryStream agent(input, chunk, interrupts);
      ChunkedWriter extension(std::size_t{1} << 30, true);
      IoError error = relay_to_extension(agent, extension, *std::make_shared<BufferPool>());
      EXPECT_EQ(error.display(), "bad frame length") << "chunk " << chunk << " " << interrupts;
      EXPECT_TRUE(extension.output == frames_of(payloads)) << "chunk " << chunk;
    }
  }
}

TEST(RelayToExtension, FramesReadTogetherLeaveInOneCall) {
  std::vector<Payload> payloads(600, bytes("{}"));
  MemoryStream agent(frames_of(payloads));
  ChunkedWriter extension(std::size_t{1} << 30, true);
  EXPECT_EQ(relay_to_extension(agent, extension, *std::make_shared<BufferPool>()).display(),
            "failed to fill whole buffer");
  EXPECT_EQ(extension.output, frames_of(payloads));
  EXPECT_EQ(extension.calls, 1);
}

}  // namespace
}  // namespace velmora
