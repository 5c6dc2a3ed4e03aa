// Gathered writes must put exactly the bytes of the runs given on the stream, in their order,
// whatever share of a call the stream accepts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "frame.h"
#include "host/relay.h"
#include "test.h"

namespace velmora {
namespace {

using test::bytes;
using test::ChunkedWriter;
using test::frame_of;

Payload frames_of(const std::vector<Payload>& payloads) {
  Payload out;
  for (const auto& p : payloads) {
    Payload f = frame_of(p);
    out.insert(out.end(), f.begin(), f.end());
  }
  return out;
}

// One run of one frame per payload.
std::vector<WireFrames> runs_of(const std::vector<Payload>& payloads) {
  std::vector<WireFrames> runs;
  for (const auto& payload : payloads) runs.push_back({frame_of(payload)});
  return runs;
}

std::vector<Payload> mixed_payloads() {
  std::vector<Payload> payloads;
  for (std::size_t size : {1u, 0u, 7u, 300u, 2u, 65537u, 4u, 0u, 13u}) {
    Payload p(size);
    for (std::size_t i = 0; i < size; ++i) p[i] = std::byte((i * 7 + size) & 0xFF);
    payloads.push_back(std::move(p));
  }
  return payloads;
}

TEST(WriteFrames, SameBytesWhateverEachCallAccepts) {
  const auto payloads = mixed_payloads();
  const Payload expected = frames_of(payloads);
  for (std::size_t chunk :
       {std::size_t{1}, std::size_t{3}, std::size_t{5}, std::size_t{4096}, std::size_t{1} << 30}) {
    for (bool gathers : {true, false}) {
      for (bool interrupts : {false, true}) {
        ChunkedWriter writer(chunk, gathers, interrupts);
        ASSERT_TRUE(write_frames(writer, runs_of(payloads))) << chunk << gathers << interrupts;
        EXPECT_EQ(writer.output, expected) << "chunk " << chunk << " gathers " << gathers;
      }
    }
  }
}

TEST(WriteFrames, OneCallPerGatherWhenTheStreamTakesEverything) {
  std::vector<Payload> payloads(MAX_GATHERED_RUNS * 2 + 1, bytes("{}"));
  ChunkedWriter writer(std::size_t{1} << 30, true);
  ASSERT_TRUE(write_frames(writer, runs_of(payloads)));
  EXPECT_EQ(writer.output, frames_of(payloads));
  EXPECT_EQ(writer.calls, 3);
}

TEST(WriteFrames, RunsOfManyFramesGoAsTheyStand) {
  std::vector<WireFrames> items = runs_of({bytes("a")});
  items.push_back({frames_of({bytes("b"), bytes("cd")})});
  items.push_back({frame_of(bytes("e"))});
  // A run is not one frame: its size is not held to the frame limit.
  items.push_back({frames_of({Payload(MAX_FRAME_LEN, std::byte{7}), bytes("f")})});
  for (std::size_t chunk : {std::size_t{4093}, std::size_t{1} << 30}) {
    ChunkedWriter writer(chunk, true);
    ASSERT_TRUE(write_frames(writer, items));
    EXPECT_TRUE(writer.output == frames_of({bytes("a"), bytes("b"), bytes("cd"), bytes("e"),
                                            Payload(MAX_FRAME_LEN, std::byte{7}), bytes("f")}))
        << chunk;
  }
}

TEST(WriteFrame, LengthAndPayloadInOneCall) {
  ChunkedWriter writer(std::size_t{1} << 30, true);
  ASSERT_TRUE(write_frame(writer, bytes("hello")));
  EXPECT_EQ(writer.output, frame_of(bytes("hello")));
  EXPECT_EQ(writer.calls, 1);
}

TEST(WriteFrames, StreamAcceptingNothingFails) {
  ChunkedWriter writer(0, true);
  auto written = write_frames(writer, runs_of({bytes("x"), bytes("y")}));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().display(), "failed to write whole buffer");
}

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
