// The extension's input ending, at any point, ends the host quietly with status 0.
#include "host_fixture.h"

namespace velmora::blackbox {
namespace {

struct InputEndCase {
  const char* name;
  StdinMode stdin_mode;
  Bytes written;  // before standard input is closed; only with a pipe
};

void PrintTo(const InputEndCase& row, std::ostream* out) {
  *out << row.name;
}

class InputEnd : public HostTestWithParam<InputEndCase> {};

TEST_P(InputEnd, EndsWithStatusZeroAndNothingOnTheErrorStream) {
  const InputEndCase& row = GetParam();
  auto host = start(row.stdin_mode);
  ASSERT_TRUE(host) << host.error();
  if (row.stdin_mode == StdinMode::Pipe) {
    ASSERT_TRUE(Succeeded(host->write(row.written)));
    host->close_stdin();
  }
  EXPECT_TRUE(EndsQuietly(*host));
}

INSTANTIATE_TEST_SUITE_P(
    Extension, InputEnd,
    testing::Values(
        InputEndCase{"closed_at_once", StdinMode::Pipe, ""},
        InputEndCase{"closed_after_two_length_bytes", StdinMode::Pipe,
                     length_prefix(5).substr(0, 2)},
        InputEndCase{"closed_inside_the_payload", StdinMode::Pipe, length_prefix(12) + R"({"op":)"},
        InputEndCase{"closed_between_two_frames", StdinMode::Pipe, frame("{}") + frame("[1]")},
        InputEndCase{"ended_before_the_start", StdinMode::Ended, ""},
        InputEndCase{"no_standard_input_at_all", StdinMode::Absent, ""}),
    NameOfRow{});

}  // namespace
}  // namespace velmora::blackbox
