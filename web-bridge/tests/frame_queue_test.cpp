#include "frame_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace velmora {
namespace {

// The queue does not look into what it carries: n bytes stand for a run of frames.
WireFrames numbered(int n) {
  return {std::vector<std::byte>(static_cast<std::size_t>(n), std::byte{1})};
}

TEST(FrameQueue, DeliversInOrderWithoutCopying) {
  auto [sender, receiver] = make_frame_queue();
  WireFrames big{std::vector<std::byte>(1 << 20)};
  const std::byte* storage = big.head().data();
  ASSERT_TRUE(sender.send(std::move(big)));
  for (int n = 1; n <= 3; ++n) ASSERT_TRUE(sender.send(numbered(n)));
  EXPECT_EQ(receiver.receive().value().head().data(), storage);
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(receiver.receive().value().size(), std::size_t(n));
}

TEST(FrameQueue, TakeQueuedMovesInOrderWithinItsLimitsAndNeverWaits) {
  struct Case {
    std::size_t already;  // payloads of 1 byte in the batch before the call
    std::size_t max_count;
    std::size_t max_bytes;
    std::size_t moved;
  };
  const Case cases[] = {
      {0, 100, 1000, 5},  // all of 1, 2, 3, 4, 5
      {0, 3, 1000, 3},    // count limit
      {0, 100, 6, 3},     // 1 + 2 + 3 reaches 6 bytes
      {1, 100, 4, 2},     // 1 already held, then 1 + 2
      {2, 2, 1000, 0},    // batch already full
  };
  for (const auto& c : cases) {
    auto [sender, receiver] = make_frame_queue();
    std::vector<WireFrames> batch;
    for (std::size_t i = 0; i < c.already; ++i) batch.push_back(numbered(1));
    EXPECT_EQ(receiver.take_queued(batch, c.max_count, c.max_bytes), 0u);
    for (int n = 1; n <= 5; ++n) ASSERT_TRUE(sender.send(numbered(n)));
    ASSERT_EQ(receiver.take_queued(batch, c.max_count, c.max_bytes), c.moved);
    ASSERT_EQ(batch.size(), c.already + c.moved);
    for (std::size_t i = 0; i < c.moved; ++i) EXPECT_EQ(batch[c.already + i].size(), i + 1);
    // What was left stays queued, next in line.
    if (c.moved < 5) {
      EXPECT_EQ(receiver.receive().value().size(), c.moved + 1);
    }
  }
}

TEST(FrameQueue, ReceiveWithTimeOut) {
  auto [sender, receiver] = make_frame_queue();
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(receiver.receive_for(std::chrono::milliseconds(50)).error(),
            FrameReceiver::Error::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));

  std::thread late([&sender] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(sender.send(numbered(7)));
  });
  EXPECT_EQ(receiver.receive_for(std::chrono::seconds(30)).value().size(), 7u);
  late.join();
}

TEST(FrameQueue, ClosedOnlyOnceTheSenderIsGoneAndTheQueueIsDrained) {
  auto [sender, receiver] = make_frame_queue();
  ASSERT_TRUE(sender.send(numbered(1)));
  { FrameSender gone = std::move(sender); }
  EXPECT_TRUE(receiver.receive());
  EXPECT_EQ(receiver.receive().error(), FrameReceiver::Error::Closed);
  EXPECT_EQ(receiver.receive_for(std::chrono::seconds(30)).error(), FrameReceiver::Error::Closed);
}

TEST(FrameQueue, BlockedReceiveWakesWhenTheSenderGoes) {
  auto [sender, receiver] = make_frame_queue();
  std::thread dropper([s = std::move(sender)]() mutable {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    FrameSender gone = std::move(s);
  });
  EXPECT_EQ(receiver.receive().error(), FrameReceiver::Error::Closed);
  dropper.join();
}

TEST(FrameQueue, SendHandsThePayloadBackWhenTheReceiverIsGone) {
  auto [sender, receiver] = make_frame_queue();
  { FrameReceiver gone = std::move(receiver); }
  auto sent = sender.send(numbered(5));
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().size(), 5u);
}

}  // namespace
}  // namespace velmora
