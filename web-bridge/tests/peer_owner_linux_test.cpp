// The owner of the agent's end as the running kernel's socket table gives it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/peer_owner-linux.h"
#include "platform/unique_fd-posix.h"
#include "stranger.h"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

enum class Holder { Self, SelfNotAccepted, SelfDualStack, Stranger };

// A listener on [::] that takes IPv4 too: its sockets are IPv6 ones, which the tables list in the
// mapped form of their IPv4 addresses.
UniqueFd dual_stack_listener(std::uint16_t& port) {
  UniqueFd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int off = 0;
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  socklen_t size = sizeof any;
  auto* address = reinterpret_cast<sockaddr*>(&any);
  if (!fd || setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
      bind(fd.get(), address, size) != 0 || listen(fd.get(), 4) != 0 ||
      getsockname(fd.get(), address, &size) != 0)
    return UniqueFd();
  port = ntohs(any.sin6_port);
  return fd;
}

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
  UniqueFd dual_stack;
  std::uint16_t port = 0;
  if (row.holder == Holder::SelfDualStack) {
    dual_stack = dual_stack_listener(port);
    ASSERT_TRUE(dual_stack) << "no IPv6 listener: " << std::strerror(errno);
  } else if (row.holder == Holder::Stranger) {
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
  UniqueFd accepted_dual(dual_stack ? accept(dual_stack.get(), nullptr, nullptr) : -1);
  EXPECT_EQ(peer_owner(*stream), row.owner);
  // The listing that stands in when netlink fails says the same.
  EXPECT_EQ(linux_tables::listed_owner(*stream), row.owner);
}

INSTANTIATE_TEST_SUITE_P(Kernel, PeerOwnerOnLinux,
                         testing::Values(OwnerCase{"own", Holder::Self, PeerOwner::Same},
                                         OwnerCase{"own_not_yet_accepted", Holder::SelfNotAccepted,
                                                   PeerOwner::Same},
                                         OwnerCase{"own_on_a_dual_stack_listener",
                                                   Holder::SelfDualStack, PeerOwner::Same},
                                         OwnerCase{"stranger", Holder::Stranger, PeerOwner::Other}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace velmora::platform
