// The owner of the agent's end from the kernel's socket table: one exact NETLINK_SOCK_DIAG
// lookup by the connection's four addresses, which costs a few microseconds however many sockets
// the machine has (/proc/net/tcp would be read and parsed whole).
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>

#include "platform/peer_owner.h"
#include "platform/unique_fd-posix.h"

namespace velmora::platform {

namespace {

// The kernel's TCP states (include/net/tcp_states.h) whose table entries carry no owner: the
// diag reply gives uid 0 for them.
constexpr std::uint8_t kTimeWait = 6;
constexpr std::uint8_t kNewSynRecv = 12;  // a request the listener has not made a socket of yet

struct Entry {
  std::uint8_t state;
  uid_t uid;
};

struct Request {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

Request exact_request(const sockaddr_in& local, const sockaddr_in& remote) {
  Request request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;  // no dump: the one socket of these addresses
  request.body.sdiag_family = AF_INET;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0U;
  request.body.id.idiag_sport = local.sin_port;
  request.body.id.idiag_dport = remote.sin_port;
  request.body.id.idiag_src[0] = local.sin_addr.s_addr;
  request.body.id.idiag_dst[0] = remote.sin_addr.s_addr;
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  return request;
}

template <class Call>
auto retrying(Call call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

// The socket whose local end is `local` and remote end `remote` (0.0.0.0:0 finds the listener).
std::optional<Entry> look_up(int diag, const sockaddr_in& local, const sockaddr_in& remote) {
  Request request = exact_request(local, remote);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  auto* to = reinterpret_cast<const sockaddr*>(&kernel);
  if (retrying([&] { return sendto(diag, &request, sizeof request, 0, to, sizeof kernel); }) < 0)
    return std::nullopt;
  // The kernel answers within sendto: a reply that is not there yet will not come.
  alignas(nlmsghdr) std::array<std::byte, 8192> reply;
  ssize_t size = retrying(
      [&] { return recvfrom(diag, reply.data(), reply.size(), MSG_DONTWAIT, nullptr, nullptr); });
  if (size < 0) return std::nullopt;
  const auto* header = reinterpret_cast<const nlmsghdr*>(reply.data());
  auto length = static_cast<std::size_t>(size);
  // NLMSG_OK by hand: the macro mixes signed and unsigned lengths.
  if (length < sizeof(nlmsghdr) || header->nlmsg_len > length ||
      header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
    return std::nullopt;  // NLMSG_ERROR: no such socket, or no diag module
  const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  return Entry{found->idiag_state, found->idiag_uid};
}

struct Ends {
  sockaddr_in host;
  sockaddr_in agent;
};

std::optional<Ends> ends_of(int fd) {
  Ends ends{};
  socklen_t size = sizeof ends.host;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ends.host), &size) != 0) return std::nullopt;
  size = sizeof ends.agent;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&ends.agent), &size) != 0) return std::nullopt;
  if (ends.host.sin_family != AF_INET || ends.agent.sin_family != AF_INET) return std::nullopt;
  return ends;
}

std::optional<Entry> agent_entry(const Ends& ends) {
  UniqueFd diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!diag) return std::nullopt;
  auto entry = look_up(diag.get(), ends.agent, ends.host);
  // Until the listener's kernel side takes the handshake's last ACK the agent's end is a
  // request, owned by the listener that will accept it.
  if (entry && entry->state == kNewSynRecv) entry = look_up(diag.get(), ends.agent, sockaddr_in{});
  return entry;
}

}  // namespace

PeerOwner peer_owner(const Socket& stream) {
  auto ends = ends_of(static_cast<int>(stream.native()));
  if (!ends) return PeerOwner::Unknown;
  auto entry = agent_entry(*ends);
  if (!entry || entry->state == kTimeWait || entry->state == kNewSynRecv) return PeerOwner::Unknown;
  return entry->uid == geteuid() ? PeerOwner::Same : PeerOwner::Other;
}

}  // namespace velmora::platform
