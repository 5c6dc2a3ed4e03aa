// Frames from the extension: the length bounds, and frames that arrive in pieces. With no
// agent to forward to, a frame is seen to be read whole by the host going on waiting, and a
// bad one by the host ending at once; with an agent, by what the agent receives.
#include "agent_fixture.h"

namespace velmora::blackbox {
namespace {

using std::chrono_literals::operator""ms;

// A JSON text of exactly `size` bytes (size >= 1), as the extension would send.
Bytes json_of_size(std::uint32_t size) {
  if (size == 1) return "1";
  return '"' + Bytes(size - 2, 'a') + '"';
}

struct LengthCase {
  const char* name;
  Bytes before;          // whole frames sent first
  std::uint32_t length;  // the length field that follows
  bool accepted;         // accepted lengths are followed by a payload of that size
};

void PrintTo(const LengthCase& row, std::ostream* out) {
  *out << row.name;
}

class FrameLength : public HostTestWithParam<LengthCase> {};

TEST_P(FrameLength, AcceptedLengthKeepsTheHostReadingAndOthersEndIt) {
  const LengthCase& row = GetParam();
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  Bytes input = row.before + length_prefix(row.length);
  if (row.accepted) input += json_of_size(row.length);
  ASSERT_TRUE(Succeeded(host->write(input)));
  if (row.accepted) {
    EXPECT_TRUE(StaysAlive(*host, idle_span()));
    host->close_stdin();
  }
  // A rejected length ends the host while its input is still open.
  EXPECT_TRUE(EndsQuietly(*host));
}

INSTANTIATE_TEST_SUITE_P(Extension, FrameLength,
                         testing::Values(LengthCase{"one_byte", "", 1, true},
                                         LengthCase{"largest", "", MAX_FRAME_LEN, true},
                                         LengthCase{"zero", "", 0, false},
                                         LengthCase{"one_above_largest", "", MAX_FRAME_LEN + 1,
                                                    false},
                                         // 00 00 00 0F: fifteen if it were read big-endian
                                         LengthCase{"read_little_endian", "", 0x0F00'0000, false},
                                         LengthCase{"all_ones", "", 0xFFFF'FFFF, false},
                                         LengthCase{"zero_after_a_frame", frame("{}"), 0, false},
                                         LengthCase{"one_above_largest_after_a_frame", frame("{}"),
                                                    MAX_FRAME_LEN + 1, false}),
                         NameOfRow{});

// A message whose every 4 bytes, misread as a length, are far above the largest frame: a
// host that loses a frame's boundary ends at once instead of waiting.
constexpr std::string_view kMessage = R"({"op":"ping","seq":1})";
constexpr Duration kByteGap = 20ms;

class SplitWrites : public AgentTest {
 protected:
  // One write per byte; fails as soon as the host ends in between.
  static testing::AssertionResult Trickle(HostProcess& host, std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (auto written = host.write(bytes.substr(i, 1)); !written) {
        return testing::AssertionFailure() << "byte " << i << ": " << describe(written.error());
      }
      if (auto ended = host.exit_within(kByteGap)) {
        return testing::AssertionFailure()
               << "ended after byte " << i << " with " << describe(*ended);
      }
    }
    return testing::AssertionSuccess();
  }
};

TEST_F(SplitWrites, FrameWrittenOneByteAtATimeIsReadWhole) {
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(Trickle(*host, frame(kMessage) + frame(kMessage)));
  EXPECT_TRUE(StaysAlive(*host, idle_span()));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

TEST_F(SplitWrites, FrameWrittenOneByteAtATimeReachesTheAgentWhole) {
  ASSERT_TRUE(StartAgent({listening()}));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(NextFrameIs(*host, kLinkedNotice));
  ASSERT_TRUE(Trickle(*host, frame(kMessage)));
  EXPECT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello), Bytes(kMessage)}));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

TEST_F(SplitWrites, BadLengthWrittenOneByteAtATimeEndsTheHostAtItsLastByte) {
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  Bytes bad = length_prefix(MAX_FRAME_LEN + 1);
  ASSERT_TRUE(Trickle(*host, frame(kMessage) + bad.substr(0, 3)));
  EXPECT_TRUE(StaysAlive(*host, idle_span()));
  ASSERT_TRUE(Succeeded(host->write(bad.substr(3))));
  EXPECT_TRUE(EndsQuietly(*host));
}

}  // namespace
}  // namespace velmora::blackbox
