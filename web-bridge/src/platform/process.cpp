// The part of ending the process that both platforms share: which thread may end it.
#include "platform/process.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace velmora::platform {

namespace {

std::atomic<std::thread::id> ending_thread{};

}  // namespace

bool claim_process_end() {
  std::thread::id none{};
  const std::thread::id self = std::this_thread::get_id();
  return ending_thread.compare_exchange_strong(none, self) || none == self;
}

// The thread that claimed the end is ending the process; this one must not give its own status.
[[noreturn]] void wait_for_the_end() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace velmora::platform
