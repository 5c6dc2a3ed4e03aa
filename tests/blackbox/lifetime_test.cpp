// The host never ends on its own while the extension's input stays open, whatever came first.
#include <vector>

#include "host_fixture.h"

namespace velmora::blackbox {
namespace {

struct IdleCase {
  const char* name;
  std::vector<Bytes> payloads;  // sent at once, then the input stays open and silent
};

void PrintTo(const IdleCase& row, std::ostream* out) {
  *out << row.name;
}

class IdleInput : public HostTestWithParam<IdleCase> {};

TEST_P(IdleInput, HostWaitsUntilItsInputEnds) {
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  for (const Bytes& payload : GetParam().payloads) {
    ASSERT_TRUE(Succeeded(host->write_frame(payload)));
  }
  EXPECT_TRUE(StaysAlive(*host, idle_span()));
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

INSTANTIATE_TEST_SUITE_P(Extension, IdleInput,
                         testing::Values(IdleCase{"no_frame", {}},
                                         IdleCase{"json_first_frame", {R"({"op":"ping"})"}},
                                         IdleCase{"first_frame_not_json", {"not json"}},
                                         IdleCase{"several_frames", {"{}", "[]", R"("x")"}}),
                         NameOfRow{});

}  // namespace
}  // namespace velmora::blackbox
