#include "errors.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

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
    std::string message = os_error_message(code);
    ASSERT_FALSE(message.empty());
    EXPECT_THAT(std::string(" \t\r\n"), Not(HasSubstr(std::string(1, message.back()))));
    EXPECT_EQ(HostError(IoError::os(code)).display(),
              message + " (os error " + std::to_string(code) + ")");
  }
}

}  // namespace
}  // namespace velmora
