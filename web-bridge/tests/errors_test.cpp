#include "errors.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>

#include "platform/os_error.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {
namespace {

using testing::HasSubstr;
using testing::Not;

TEST(BridgeError, DisplayAndDebugForms) {
  struct Case {
    BridgeError error;
    const char* display;
    const char* debug;
  };
  const Case cases[] = {
      {BridgeError::not_connected(), "the browser extension is not connected", "NotConnected"},
      {BridgeError::disconnected(), "the browser extension disconnected", "Disconnected"},
      {BridgeError::timeout(), "the browser extension did not answer in time", "Timeout"},
      {BridgeError::rejected("agent refused the connection"), "agent refused the connection",
       R"(Rejected("agent refused the connection"))"},
      {BridgeError::protocol(R"(say "x\")"), R"(say "x\")", R"(Protocol("say \"x\\\""))"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(c.error.debug(), c.debug);
    EXPECT_EQ(HostError(c.error).display(), c.display);
  }
}

TEST(HostError, DisplayOfEveryForm) {
  EXPECT_EQ(HostError(PlainMessage{"no config directory"}).display(), "no config directory");
  EXPECT_EQ(HostError(JsonError{"trailing characters", 1, 13}).display(),
            "trailing characters at line 1 column 13");
  EXPECT_EQ(HostError(IoError::unexpected_eof()).display(), "failed to fill whole buffer");
  EXPECT_EQ(HostError(IoError::write_zero()).display(), "failed to write whole buffer");
  EXPECT_EQ(HostError(IoError::invalid_data("bad frame length")).display(), "bad frame length");
}

TEST(HostError, OsErrorShowsTheSystemTextAndTheCode) {
  for (std::int64_t code : {2, 5, 32, 10054}) {
    std::string message = platform::os_error_message(code);
    ASSERT_FALSE(message.empty());
    EXPECT_THAT(std::string(" \t\r\n"), Not(HasSubstr(std::string(1, message.back()))));
    EXPECT_EQ(HostError(IoError::os(code)).display(),
              message + " (os error " + std::to_string(code) + ")");
  }
}

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
