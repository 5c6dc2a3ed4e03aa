// What the parties of one scenario share: the record each notes what it sent and received into,
// with times, and sleeps that end early when the scenario stops.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

#include "scenario.h"

namespace velmora::scenarios {

inline constexpr driver::Duration kForever = std::chrono::hours(1);  // until the scenario stops

// Sleeps that end early when the scenario stops; false then.
inline bool nap(const std::stop_token& stop, driver::Duration span) {
  std::mutex mutex;
  std::condition_variable_any woken;
  std::unique_lock lock(mutex);
  return !woken.wait_for(lock, stop, span, [] { return false; }) && !stop.stop_requested();
}

// What every party notes, guarded by one lock; counters the sampler reads are atomic.
struct Record {
  driver::Clock::time_point start;
  std::mutex mutex;
  History history;
  std::atomic<std::uint64_t> ext_written{0}, agent_read{0};
  driver::Duration give_up{};  // the extension stops writing and closes its end

  driver::Duration now() const {
    return std::chrono::duration_cast<driver::Duration>(driver::Clock::now() - start);
  }
  template <typename Change>
  void note(Change&& change) {
    std::lock_guard lock(mutex);
    change(history);
  }
};

}  // namespace velmora::scenarios
