// The agent's write side shared by the reader and the forwarder: every frame once and in order,
// whether the reader wrote it, or part of it, itself or queued it.
#include "host/agent_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "test.h"

namespace velmora {
namespace {

using test::bytes;
using test::ChunkedWriter;
using test::frame_of;
using test::frames_of;

TEST(AgentWriter, FramesInOrderWrittenDirectlyAndQueuedUnderPartialWrites) {
  // How many bytes each direct write takes, in turn: all, a few, none.
  const std::vector<std::vector<std::size_t>> rows = {
      {SIZE_MAX}, {3}, {0}, {1, SIZE_MAX, 0, 5}, {SIZE_MAX, 0}};
  for (const auto& takes : rows) {
    auto [sender, receiver] = make_frame_queue();
    AgentWriter writer(std::move(sender));
    ChunkedWriter agent(7, true);  // the forwarder's blocking writes go a few bytes at a time
    std::vector<Payload> payloads;
    for (int i = 0; i < 400; ++i) payloads.push_back(bytes("message " + std::to_string(i)));
    // Before the forwarder lets it, the reader only queues: the first message goes first.
    std::size_t direct_calls = 0;
    for (std::size_t i = 0; i < 3; ++i)
      ASSERT_TRUE(writer.send(FrameRun::lying_in(frame_of(payloads[i]))));
    std::thread forwarder([&, &receiver = receiver] {
      std::vector<WireFrames> batch;
      for (bool first = true;; first = false) {
        auto frames = receiver.receive();
        ASSERT_TRUE(frames);
        batch.push_back(std::move(*frames));
        receiver.take_queued(batch, MAX_GATHERED_RUNS, 1 << 20);
        ASSERT_TRUE(write_frames(agent, batch));
        writer.written(batch.size());
        if (batch.back().size() > DIRECT_WRITE_MAX) return;  // the last, never written directly
        batch.clear();
        if (first) {
          writer.let_reader_write([&](ByteSpan run) {
            std::size_t take = std::min(takes[direct_calls++ % takes.size()], run.size());
            return agent.write(run.first(take)).value();
          });
        }
      }
    });
    for (std::size_t i = 3; i < payloads.size(); ++i) {
      ASSERT_TRUE(writer.send(FrameRun::lying_in(frame_of(payloads[i]))));
      // Now and then the forwarder catches up, and the reader may write.
      if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(writer.send(FrameRun::lying_in(frame_of(payloads.emplace_back(DIRECT_WRITE_MAX)))));
    forwarder.join();
    EXPECT_TRUE(agent.output == frames_of(payloads)) << "takes " << takes[0];
    EXPECT_GT(direct_calls, 0u);
  }
}

}  // namespace
}  // namespace velmora
