// The owner of the agent's end from the kernel's socket table: one exact NETLINK_SOCK_DIAG
// lookup by the connection's four addresses, which costs a few microseconds however many sockets
// the machine has. Where netlink fails or has no diag module, /proc/net/tcp and tcp6, read and
// parsed whole, carry the same uids.
#include "platform/peer_owner-linux.h"

#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// One source's answer: the agent's end's entry, none (no such socket in the table), or the
// lookup's own failure.
using Lookup = std::expected<std::optional<Entry>, IoError>;

IoError last_os_error() {
  return IoError::os(errno);
}

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

// The reply to `request`: its entry, none for ENOENT (no such socket, or no diag module for
// TCP), and anything else the kernel should not have said is a failure.
Lookup parse_reply(std::span<const std::byte> reply, const Request& request) {
  const auto* header = reinterpret_cast<const nlmsghdr*>(reply.data());
  // NLMSG_OK by hand: the macro mixes signed and unsigned lengths.
  if (reply.size() < sizeof(nlmsghdr) || header->nlmsg_len > reply.size())
    return std::unexpected(IoError::invalid_data("short sock_diag reply"));
  if (header->nlmsg_type == NLMSG_ERROR && header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
    int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
    if (error == ENOENT) return std::nullopt;
    return std::unexpected(IoError::os(error));
  }
  const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)) ||
      found->id.idiag_sport != request.body.id.idiag_sport ||
      found->id.idiag_dport != request.body.id.idiag_dport)
    return std::unexpected(IoError::invalid_data("malformed sock_diag reply"));
  return Entry{found->idiag_state, found->idiag_uid};
}

// The socket whose local end is `local` and remote end `remote` (0.0.0.0:0 finds the listener).
Lookup look_up(int diag, const sockaddr_in& local, const sockaddr_in& remote) {
  Request request = exact_request(local, remote);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  auto* to = reinterpret_cast<const sockaddr*>(&kernel);
  if (retrying([&] { return sendto(diag, &request, sizeof request, 0, to, sizeof kernel); }) < 0)
    return std::unexpected(last_os_error());
  // The kernel answers within sendto: a reply that is not there yet will not come.
  alignas(nlmsghdr) std::array<std::byte, 8192> reply;
  ssize_t size = retrying(
      [&] { return recvfrom(diag, reply.data(), reply.size(), MSG_DONTWAIT, nullptr, nullptr); });
  if (size < 0) return std::unexpected(last_os_error());
  return parse_reply(std::span(reply).first(static_cast<std::size_t>(size)), request);
}

struct Ends {
  sockaddr_in host;
  sockaddr_in agent;
};

std::expected<Ends, IoError> ends_of(int fd) {
  Ends ends{};
  socklen_t size = sizeof ends.host;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ends.host), &size) != 0)
    return std::unexpected(last_os_error());
  size = sizeof ends.agent;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&ends.agent), &size) != 0)
    return std::unexpected(last_os_error());
  if (ends.host.sin_family != AF_INET || ends.agent.sin_family != AF_INET)
    return std::unexpected(IoError::invalid_data("not an IPv4 connection"));
  return ends;
}

Lookup diag_entry(const Ends& ends) {
  UniqueFd diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!diag) return std::unexpected(last_os_error());
  auto entry = look_up(diag.get(), ends.agent, ends.host);
  // Until the listener's kernel side takes the handshake's last ACK the agent's end is a
  // request, owned by the listener that will accept it.
  if (entry && *entry && (*entry)->state == kNewSynRecv)
    entry = look_up(diag.get(), ends.agent, sockaddr_in{});
  return entry;
}

// Far beyond the table of a busy server (about 150 bytes a socket), and still bounded.
constexpr std::size_t kLargestTable = 64 * 1024 * 1024;

std::expected<std::string, IoError> read_table(const char* path) {
  UniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
  if (!file) return std::unexpected(last_os_error());
  std::string text;
  std::array<char, 64 * 1024> chunk;
  for (;;) {
    ssize_t count = retrying([&] { return read(file.get(), chunk.data(), chunk.size()); });
    if (count < 0) return std::unexpected(last_os_error());
    if (count == 0) return text;
    if (text.size() + static_cast<std::size_t>(count) > kLargestTable)
      return std::unexpected(IoError::invalid_data("socket table too large"));
    text.append(chunk.data(), static_cast<std::size_t>(count));
  }
}

std::optional<std::uint32_t> hex(std::string_view digits) {
  std::uint32_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// "ADDRESS:PORT" as the table prints an end: the address's 32-bit words as the kernel holds
// them, in hex; an IPv6 end matches an IPv4 one in its mapped form, ::ffff:a.b.c.d.
bool same_end(std::string_view field, const sockaddr_in& end) {
  auto colon = field.find(':');
  if (colon == std::string_view::npos || hex(field.substr(colon + 1)) != ntohs(end.sin_port))
    return false;
  std::string_view address = field.substr(0, colon);
  if (address.size() == 8) return hex(address) == end.sin_addr.s_addr;
  return address.size() == 32 && hex(address.substr(0, 8)) == 0 && hex(address.substr(8, 8)) == 0 &&
         hex(address.substr(16, 8)) == htonl(0xffff) &&
         hex(address.substr(24)) == end.sin_addr.s_addr;
}

std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> fields;
  while (!line.empty()) {
    auto start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    auto length = std::min(line.find(' '), line.size());
    fields.push_back(line.substr(0, length));
    line.remove_prefix(length);
  }
  return fields;
}

// A line: "sl local remote st tx:rx tr:when retrnsmt uid ..."; the heading matches no end.
std::optional<Entry> entry_in(std::string_view table, const Ends& ends) {
  while (!table.empty()) {
    auto length = std::min(table.find('\n'), table.size());
    auto fields = fields_of(table.substr(0, length));
    table.remove_prefix(std::min(length + 1, table.size()));
    if (fields.size() < 8 || !same_end(fields[1], ends.agent) || !same_end(fields[2], ends.host))
      continue;
    uid_t uid = 0;
    auto state = hex(fields[3]);
    auto [end, error] = std::from_chars(fields[7].begin(), fields[7].end(), uid);
    if (state && error == std::errc() && end == fields[7].end())
      return Entry{static_cast<std::uint8_t>(*state), uid};
  }
  return std::nullopt;
}

// A request shows here with the state SYN_RECV and its listener's uid already.
Lookup listed_entry(const Ends& ends) {
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    auto table = read_table(path);
    // Without IPv6 there is no tcp6, and no socket of it either.
    if (!table && table.error().os_code() == ENOENT) continue;
    if (!table) return std::unexpected(table.error());
    if (auto entry = entry_in(*table, ends)) return entry;
  }
  return std::nullopt;
}

// The diag lookup, else the listing; when both fail, the listing's failure.
Lookup agent_entry(const Ends& ends) {
  auto entry = diag_entry(ends);
  if (entry && *entry) return entry;
  auto listed = listed_entry(ends);
  if (listed || !entry) return listed;
  return entry;  // no diag module, and no listing: the system cannot say
}

std::expected<PeerOwner, IoError> owner_from(const Socket& stream, Lookup (*source)(const Ends&)) {
  auto ends = ends_of(static_cast<int>(stream.native()));
  if (!ends) return std::unexpected(ends.error());
  auto entry = source(*ends);
  if (!entry) return std::unexpected(entry.error());
  if (!*entry || (*entry)->state == kTimeWait || (*entry)->state == kNewSynRecv)
    return PeerOwner::Unknown;
  return (*entry)->uid == geteuid() ? PeerOwner::Same : PeerOwner::Other;
}

}  // namespace

std::expected<PeerOwner, IoError> peer_owner(const Socket& stream) {
  return owner_from(stream, agent_entry);
}

// The exact lookup reads no table that can change under it, and a listing read while sockets
// come and go only misses or repeats lines, which no error reports.
bool passing_failure(const IoError&) {
  return false;
}

std::expected<PeerOwner, IoError> linux_tables::listed_owner(const Socket& stream) {
  return owner_from(stream, listed_entry);
}

}  // namespace velmora::platform
