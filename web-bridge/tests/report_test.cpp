#include "host/report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {
namespace {

using testing::HasSubstr;
using testing::Not;

TEST(ReportFailureDeathTest, OneLineThenStatusOne) {
  EXPECT_EXIT(report_failure(BridgeError::not_connected()), testing::ExitedWithCode(1),
              testing::Eq("velmora-web-host: the browser extension is not connected\n"));
}

TEST(ExitProcessDeathTest, EndsAtOnceWhileAnotherThreadHoldsALock) {
  auto body = [] {
    std::atexit([] { std::fputs("exit handler ran", stderr); });
    std::mutex& output = platform::standard_output_lock();
    std::thread holder([&output] {
      output.lock();
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    });
    holder.detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::thread([] { platform::exit_process(7); }).join();
  };
  EXPECT_EXIT(body(), testing::ExitedWithCode(7), Not(HasSubstr("exit handler ran")));
}

// The forwarder ending the process quietly while the main thread reports a failure: the status
// and the line always go together.
TEST(ReportFailureDeathTest, AQuietEndComingLaterLeavesTheLineAndItsStatus) {
  auto body = [] {
    std::atomic<bool> claimed = false;
    std::thread reporter([&claimed] {
      ASSERT_TRUE(platform::claim_process_end(1));
      claimed = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      report_failure(BridgeError::not_connected());
    });
    while (!claimed) std::this_thread::yield();
    platform::exit_process(0);
  };
  EXPECT_EXIT(body(), testing::ExitedWithCode(1),
              testing::Eq("velmora-web-host: the browser extension is not connected\n"));
}

TEST(ReportFailureDeathTest, NoLineWhenAQuietEndCameFirst) {
  auto body = [] {
    std::atomic<bool> claimed = false;
    std::thread quiet([&claimed] {
      ASSERT_TRUE(platform::claim_process_end(0));
      claimed = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      platform::exit_process(0);
    });
    while (!claimed) std::this_thread::yield();
    report_failure(BridgeError::not_connected());
  };
  EXPECT_EXIT(body(), testing::ExitedWithCode(0), testing::Eq(""));
}

// Memory running out in a thread whose step says nothing about it, as a payload's may.
TEST(AbnormalStopDeathTest, AnEscapedExceptionStopsWithStatusOneHundredAndOne) {
  auto body = [] {
    stop_abnormally_on_escaped_exceptions();
    std::thread([] { throw std::bad_alloc(); }).join();
  };
  EXPECT_EXIT(body(), testing::ExitedWithCode(101),
              testing::Eq("velmora-web-host: abnormal stop: out of memory\n"));
}

TEST(AbnormalStopDeathTest, StatusOneHundredAndOne) {
  EXPECT_EXIT(abnormal_stop("velmora-web-host: failed to spawn thread: no"),
              testing::ExitedWithCode(101), HasSubstr("failed to spawn thread"));
}

}  // namespace
}  // namespace velmora
