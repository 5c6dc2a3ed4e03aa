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
    char op;  // 'T' takes `arg` bytes, 'D' drops the held buffer at index `arg`, 'R' releases
    std::size_t arg;
    bool reused;  // for 'T': an idle buffer, not fresh pages
    std::size_t idle_after;
  };
  using Steps = std::vector<Step>;
  const Steps cases[] = {
      {{'T', 100'000, false, 0}, {'D', 0, false, 1}, {'T', 100'000, true, 0}},
      // A buffer too small for the frame stays idle; a larger one serves a smaller frame.
      {{'T', MiB, false, 0}, {'D', 0, false, 1}, {'T', 2 * MiB, false, 1}, {'T', MiB, true, 0}},
      // What came back serves again: the smallest that fits first.
      {{'T', MiB, false, 0},
       {'T', 4 * MiB, false, 0},
       {'D', 0, false, 1},
       {'D', 0, false, 2},
       {'T', MiB, true, 1},
       {'T', 2 * MiB, true, 0},
       {'T', MiB, false, 0}},
      // Beyond the idle limit the oldest goes.
      {{'T', MiB, false, 0},
       {'T', 2 * MiB, false, 0},
       {'T', 3 * MiB, false, 0},
       {'D', 0, false, 1},
       {'D', 0, false, 2},
       {'D', 0, false, 2},
       {'T', 3 * MiB, true, 1},
       {'T', 2 * MiB, true, 0},
       {'T', MiB, false, 0}},
      // Releasing gives back only the idle ones; held ones stay intact and come back later.
      {{'T', MiB, false, 0},
       {'T', MiB, false, 0},
       {'D', 0, false, 1},
       {'R', 0, false, 0},
       {'T', MiB, false, 0},
       {'D', 0, false, 1},
       {'D', 0, false, 2}},
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
      } else if (step.op == 'D') {
        held.erase(held.begin() + static_cast<std::ptrdiff_t>(step.arg));
      } else {
        pool->release_idle();
      }
      EXPECT_EQ(pool->idle_count(), step.idle_after) << "row " << row << " step " << i;
      for (const auto& [buffer, fill] : held) {
        EXPECT_TRUE(std::ranges::all_of(buffer.bytes(), [&](std::byte b) { return b == fill; }))
            << "row " << row << " step " << i;
      }
    }
  }
}

// The releaser runs on a thread of its own, so each idle buffer goes back to the system the
// quiet time after it came back, whatever the other threads are blocked in; a buffer still out
// stays, and one that came back later stays until its own time.
TEST(BufferPool, ReleaserGivesBackEachIdleBufferOnceItsQuietTimeIsOver) {
  auto pool = std::make_shared<BufferPool>();
  constexpr auto quiet = std::chrono::milliseconds(200);
  std::thread([pool, quiet] { pool->release_when_quiet(quiet); }).detach();
  LargeBuffer held = pool->acquire(MiB);
  pool->acquire(MiB);  // dropped at once: idle
  std::this_thread::sleep_for(quiet / 2);
  pool->acquire(2 * MiB);  // idle, half the quiet time later
  EXPECT_EQ(pool->idle_count(), 2U);
  auto wait_for = [&](std::size_t count) {
    for (int i = 0; i < 300 && pool->idle_count() > count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pool->idle_count();
  };
  EXPECT_EQ(wait_for(1), 1U);
  EXPECT_EQ(wait_for(0), 0U);
  std::ranges::fill(held.bytes(), std::byte{7});  // still mapped
}

}  // namespace
}  // namespace velmora
