#include "stop_signals.h"

#include <atomic>
#include <chrono>
#include <csignal>

namespace velmora::agent {

namespace {

std::atomic<bool> signalled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may touch only this");

extern "C" void note_signal(int) {
  signalled.store(true);
}

}  // namespace

StopOnSignals::StopOnSignals(std::function<void()> stop)
    : previous_interrupt_((signalled.store(false), std::signal(SIGINT, note_signal))),
      previous_terminate_(std::signal(SIGTERM, note_signal)),
      watcher_([this, stop = std::move(stop)] { watch(stop); }) {}

StopOnSignals::~StopOnSignals() {
  {
    std::lock_guard lock(mutex_);
    released_flag_ = true;
  }
  released_.notify_one();
  watcher_.join();
  std::signal(SIGINT, previous_interrupt_ == SIG_ERR ? SIG_DFL : previous_interrupt_);
  std::signal(SIGTERM, previous_terminate_ == SIG_ERR ? SIG_DFL : previous_terminate_);
}

// The handler cannot wake anyone, so the watcher looks at the flag a few times a second.
void StopOnSignals::watch(const std::function<void()>& stop) {
  constexpr std::chrono::milliseconds glance{50};
  std::unique_lock lock(mutex_);
  while (!released_flag_ && !signalled.load()) released_.wait_for(lock, glance);
  if (released_flag_) return;
  lock.unlock();
  stop();
}

}  // namespace velmora::agent
