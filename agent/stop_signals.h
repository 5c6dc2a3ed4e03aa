// SIGINT and SIGTERM end the agent the same way a stop message does.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace velmora::agent {

// While it lives, either signal calls `stop` once, on a thread of its own: a signal handler may
// only set a flag, so a watcher turns the flag into the stop. One at a time per process.
class StopOnSignals {
 public:
  explicit StopOnSignals(std::function<void()> stop);
  ~StopOnSignals();
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  using Handler = void (*)(int);
  void watch(const std::function<void()>& stop);

  Handler previous_interrupt_;
  Handler previous_terminate_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool released_flag_ = false;
  std::thread watcher_;
};

}  // namespace velmora::agent
