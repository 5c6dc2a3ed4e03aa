// The owner of the agent's end as the running kernel's socket table gives it.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/peer_owner-linux.h"
#include "stranger.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

enum class Holder { Self, SelfNotAccepted, Stranger };

struct OwnerCase {
  const char* name;
  Holder holder;
  PeerOwner owner;
};

void PrintTo(const OwnerCase& row, std::ostream* out) {
  *out << row.name;
}

class PeerOwnerOnLinux : public testing::TestWithParam<OwnerCase> {};

TEST_P(PeerOwnerOnLinux, IsTheUidOfTheListenersCreator) {
  const OwnerCase& row = GetParam();
  std::optional<Listener> own;
  std::optional<driver::Stranger> stranger;
  std::uint16_t port = 0;
  if (row.holder == Holder::Stranger) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can listen as another user";
    auto started = driver::Stranger::start();
    ASSERT_TRUE(started) << started.error();
    port = started->port();
    stranger.emplace(std::move(*started));
  } else {
    own.emplace(Listener::bind_loopback(0).value());
    port = own->port();
  }
  auto stream = Socket::connect_loopback(port, 500ms);
  ASSERT_TRUE(stream);
  // Not yet accepted, the agent's end may still be a request of its listener.
  std::optional<Socket> accepted;
  if (row.holder == Holder::Self) accepted.emplace(own->accept().value());
  EXPECT_EQ(peer_owner(*stream), row.owner);
  // The listing that stands in when netlink fails says the same.
  EXPECT_EQ(linux_tables::listed_owner(*stream), row.owner);
}

INSTANTIATE_TEST_SUITE_P(Kernel, PeerOwnerOnLinux,
                         testing::Values(OwnerCase{"own", Holder::Self, PeerOwner::Same},
                                         OwnerCase{"own_not_yet_accepted", Holder::SelfNotAccepted,
                                                   PeerOwner::Same},
                                         OwnerCase{"stranger", Holder::Stranger, PeerOwner::Other}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace velmora::platform
