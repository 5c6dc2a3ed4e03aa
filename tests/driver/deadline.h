// Every wait in the driver is bounded by a Deadline, so no test can hang on a silent host.
#pragma once

#include <algorithm>
#include <chrono>

namespace velmora::driver {

using Clock = std::chrono::steady_clock;
using Duration = std::chrono::milliseconds;

class Deadline {
 public:
  explicit Deadline(Duration limit) : end_(Clock::now() + limit) {}

  bool passed() const { return Clock::now() >= end_; }

  // Time left, as a poll(2) time-out: never negative, at most `cap` when a cap is given.
  int poll_ms(Duration cap = Duration::max()) const {
    auto left = std::chrono::ceil<Duration>(end_ - Clock::now());
    left = std::clamp(left, Duration::zero(), cap);
    return static_cast<int>(std::min<Duration::rep>(left.count(), 1 << 30));
  }

 private:
  Clock::time_point end_;
};

}  // namespace velmora::driver
