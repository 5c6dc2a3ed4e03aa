// Gathered writes must put exactly the bytes of the runs given on the stream, in their order,
// whatever share of a call the stream accepts.
#include <gtest/gtest.h>

#include <vector>

#include "buffer_pool.h"
#include "frame.h"
#include "test.h"

namespace velmora {
namespace {

using test::bytes;
using test::ChunkedWriter;
using test::frame_of;
using test::frames_of;

// One run of one frame per payload; one too large for a reader's buffer lies in large pieces,
// as read.
std::vector<WireFrames> runs_of(const std::vector<Payload>& payloads) {
  auto pool = std::make_shared<BufferPool>();
  std::vector<WireFrames> runs;
  for (const auto& payload : payloads) {
    test::MemoryStream stream(frame_of(payload));
    BufferedReader input(stream);
    if (payload.size() < BufferedReader::CAPACITY)
      runs.push_back({frame_of(payload)});
    else
      runs.push_back(read_frames(input, *pool).value().take());
  }
  return runs;
}

std::vector<Payload> mixed_payloads() {
  std::vector<Payload> payloads;
  for (std::size_t size : {1u, 0u, 7u, 300u, 2u, 65537u, 4u, 0u, 13u, 2u << 20u | 3u}) {
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
        auto runs = runs_of(payloads);
        ASSERT_TRUE(write_frames(writer, runs)) << chunk << gathers << interrupts;
        EXPECT_EQ(writer.output, expected) << "chunk " << chunk << " gathers " << gathers;
      }
    }
  }
}

TEST(WriteFrames, OneCallPerGatherWhenTheStreamTakesEverything) {
  std::vector<Payload> payloads(MAX_GATHERED_RUNS * 2 + 1, bytes("{}"));
  ChunkedWriter writer(std::size_t{1} << 30, true);
  auto runs = runs_of(payloads);
  ASSERT_TRUE(write_frames(writer, runs));
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
  auto runs = runs_of({bytes("x"), bytes("y")});
  auto written = write_frames(writer, runs);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().display(), "failed to write whole buffer");
}

}  // namespace
}  // namespace velmora
