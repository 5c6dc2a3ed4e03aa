#include "buffer_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace velmora {
namespace {

constexpr std::size_t MiB = std::size_t{1} << 20;

// A buffer handed out twice, or given back while still held, would let the reader overwrite
// a frame still queued or being written: every held buffer keeps the bytes it was filled with.
TEST(BufferPool, HandsOutNoHeldBufferAndReusesWhatCameBack) {
  struct Step {
    char op;  // 'T' takes `arg` bytes, 'D' drops the held buffer at index `arg`
    std::size_t arg;
    bool reused;  // for 'T': an idle buffer, not fresh pages
  };
  using Steps = std::vector<Step>;
  const Steps cases[] = {
      {{'T', 100'000, false}, {'D', 0, false}, {'T', 100'000, true}},
      // A buffer too small for the frame stays idle; a larger one serves a smaller frame.
      {{'T', MiB, false}, {'D', 0, false}, {'T', 2 * MiB, false}, {'T', MiB, true}},
      // What came back serves again: the smallest that fits first.
      {{'T', MiB, false},
       {'T', 4 * MiB, false},
       {'D', 0, false},
       {'D', 0, false},
       {'T', MiB, true},
       {'T', 2 * MiB, true},
       {'T', MiB, false}},
      // As many stay idle as were out at once; one of another size beyond that makes the
      // oldest go.
      {{'T', MiB, false},
       {'T', MiB, false},
       {'D', 0, false},
       {'D', 0, false},
       {'T', 4 * MiB, false},
       {'D', 0, false},
       {'T', 4 * MiB, true},
       {'T', MiB, true},
       {'T', MiB, false}},
  };
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    auto pool = std::make_shared<BufferPool>();
    std::vector<std::pair<LargeBuffer, std::byte>> held;
    std::uint8_t fills = 0;
    for (std::size_t i = 0; i < cases[row].size(); ++i) {
      const Step& step = cases[row][i];
      if (step.op == 'T') {
        LargeBuffer buffer = pool->acquire(step.arg);
        ASSERT_EQ(buffer.bytes().size(), step.arg);
        // Fresh pages are zero; reused ones still hold their last frame's bytes.
        EXPECT_EQ(buffer.bytes()[0] != std::byte{0}, step.reused) << "row " << row << " step " << i;
        auto fill = std::byte(++fills);
        std::ranges::fill(buffer.bytes(), fill);
        held.emplace_back(std::move(buffer), fill);
      } else {
        held.erase(held.begin() + static_cast<std::ptrdiff_t>(step.arg));
      }
      for (const auto& [buffer, fill] : held) {
        EXPECT_TRUE(std::ranges::all_of(buffer.bytes(), [&](std::byte b) { return b == fill; }))
            << "row " << row << " step " << i;
      }
    }
  }
}

// A reader running ahead of the writer takes several buffers before the writer's batch gives
// them back: every round after the first must find them all again, at any frame size, or each
// frame pays for fresh pages (a page fault per 4 KiB, and an unmapping). 48 pieces of 1 MiB are
// three of the largest frames in the pieces they are read in.
TEST(BufferPool, ReaderRunningAheadTakesNoFreshPagesAfterTheFirstRound) {
  constexpr int kRounds = 50;
  for (std::size_t size : {64 * std::size_t{1024} + 4, MiB, 16 * MiB}) {
    for (std::size_t ahead : {std::size_t{1}, std::size_t{3}, std::size_t{8}, std::size_t{48}}) {
      auto pool = std::make_shared<BufferPool>();
      std::size_t fresh = 0;
      for (int round = 0; round < kRounds; ++round) {
        std::vector<LargeBuffer> out;
        for (std::size_t i = 0; i < ahead; ++i) {
          out.push_back(pool->acquire(size));
          fresh += out.back().bytes()[0] == std::byte{0};
          out.back().bytes()[0] = std::byte{1};
        }
      }
      // Beyond two of the largest frames (and a MiB for the rounding of their first pieces), the
      // surplus a reader ran ahead with is not kept: the other direction reuses what is idle, and
      // it adds to that direction's peak.
      std::size_t kept = std::min(ahead, (2 * 16 * MiB + MiB) / size);
      EXPECT_EQ(fresh, ahead + (kRounds - 1) * (ahead - kept)) << size << " bytes, " << ahead;
    }
  }
}

// The releaser runs on a thread of its own, so each idle buffer goes back to the system the
// quiet time after it came back, whatever the other threads are blocked in; a buffer still out
// stays, and one that came back later stays until its own time.
TEST(BufferPool, ReleaserGivesBackEachIdleBufferOnceItsQuietTimeIsOver) {
  auto pool = std::make_shared<BufferPool>();
  constexpr auto quiet = std::chrono::milliseconds(400);
  std::thread([pool, quiet] { pool->release_when_quiet(quiet); }).detach();
  LargeBuffer held = pool->acquire(MiB);
  pool->acquire(MiB).bytes()[0] = std::byte{1};  // dropped at once: idle
  std::this_thread::sleep_for(quiet / 2);
  pool->acquire(2 * MiB).bytes()[0] = std::byte{2};  // idle, half the quiet time later
  std::this_thread::sleep_for(quiet * 3 / 4);
  // The first has gone and the second not yet, so the second serves the smaller frame.
  EXPECT_EQ(pool->acquire(MiB).bytes()[0], std::byte{2});
  std::ranges::fill(held.bytes(), std::byte{7});  // still mapped
}

}  // namespace
}  // namespace velmora
