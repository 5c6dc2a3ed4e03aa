// The part of ending the process that both platforms share: which thread may end it.
#include "platform/process.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/process_calls.h"

namespace velmora::platform {

namespace {

constexpr int UNCLAIMED = -1;
// Far longer than writing one line takes, short enough to count as ending at once.
constexpr auto LINE_GRACE = std::chrono::milliseconds(500);

std::atomic<int> claimed_status{UNCLAIMED};
thread_local bool claimed_here = false;

}  // namespace

bool claim_process_end(int status) {
  int none = UNCLAIMED;
  if (claimed_status.compare_exchange_strong(none, status)) claimed_here = true;
  return claimed_here;
}

int process_calls::status_to_end_with(int status) {
  if (claim_process_end(status)) return status;
  std::this_thread::sleep_for(LINE_GRACE);
  return claimed_status.load();
}

}  // namespace velmora::platform
