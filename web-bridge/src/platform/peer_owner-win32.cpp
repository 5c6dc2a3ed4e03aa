// The owner of the agent's end on Windows: its owning process from the IPv4 TCP table, then the
// user of that process's token, compared with the host's own.
#include "platform/peer_owner-win32.h"

#include <algorithm>
#include <cstddef>

#include "platform/unique_handle-win32.h"

namespace velmora::platform {

namespace win32 {

namespace {

// One call that sizes the table, then those that fill it while it keeps growing.
constexpr int TABLE_CALLS = 4;
// Room for connections that open between two calls, beyond a quarter more than reported.
constexpr std::size_t TABLE_SPARE_ROWS = 64;

bool same_end(DWORD address, DWORD port, const sockaddr_in& end) {
  // The table keeps the port in network order in the low 16 bits.
  return address == end.sin_addr.s_addr && static_cast<u_short>(port) == end.sin_port;
}

bool is_agent_end(const MIB_TCPROW_OWNER_PID& row, const TcpEnds& ends) {
  return same_end(row.dwLocalAddr, row.dwLocalPort, ends.agent) &&
         same_end(row.dwRemoteAddr, row.dwRemotePort, ends.host);
}

bool equal_sids(const Sid& left, const Sid& right) {
  auto* first = const_cast<std::byte*>(left.data());
  auto* second = const_cast<std::byte*>(right.data());
  return IsValidSid(first) && IsValidSid(second) && EqualSid(first, second);
}

}  // namespace

std::expected<PeerOwner, IoError> decide_owner(const TcpTable& table, const TcpEnds& ends,
                                               const UserOfProcess& user_of, const UserSid& own) {
  if (!table) return std::unexpected(IoError::os(table.error()));
  if (!own) return std::unexpected(IoError::os(own.error()));
  auto row =
      std::ranges::find_if(*table, [&](const auto& entry) { return is_agent_end(entry, ends); });
  if (row == table->end() || row->dwOwningPid == 0) return PeerOwner::Unknown;
  // A named owner whose user cannot be learnt is not taken for ours. A process of our own user
  // always opens to PROCESS_QUERY_LIMITED_INFORMATION and its token to TOKEN_QUERY, elevated or
  // not, so a denial means another account; a process already gone may have handed its socket on.
  auto user = user_of(row->dwOwningPid);
  if (!user || !equal_sids(*user, *own)) return PeerOwner::Other;
  return PeerOwner::Same;
}

namespace {

UserSid token_user(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return std::unexpected(GetLastError());
  std::vector<std::byte> buffer(size);  // new's alignment suits TOKEN_USER
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
    return std::unexpected(GetLastError());
  PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  const auto* bytes = static_cast<const std::byte*>(sid);
  return Sid(bytes, bytes + GetLengthSid(sid));
}

UserSid user_of(HANDLE process) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return std::unexpected(GetLastError());
  UniqueHandle token(raw);
  return token_user(token.get());
}

}  // namespace

TcpTable read_tcp_table(const TableCall& call) {
  std::vector<std::byte> buffer;
  DWORD size = 0;
  DWORD result = call(nullptr, &size);
  for (int calls = 1; calls < TABLE_CALLS && result == ERROR_INSUFFICIENT_BUFFER; ++calls) {
    // More than the size just reported: a buffer filled to the byte fails again as soon as one
    // connection opens before the next call, and under Wine each call reads the machine's
    // whole table anew, thousands of closed connections included, which takes milliseconds.
    buffer.resize(std::size_t{size} + size / 4 + TABLE_SPARE_ROWS * sizeof(MIB_TCPROW_OWNER_PID));
    size = static_cast<DWORD>(buffer.size());
    result = call(buffer.data(), &size);
  }
  if (result != NO_ERROR) return std::unexpected(result);
  std::vector<MIB_TCPROW_OWNER_PID> rows;
  if (buffer.size() < sizeof(MIB_TCPTABLE_OWNER_PID)) return rows;
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  std::size_t room = (buffer.size() - offsetof(MIB_TCPTABLE_OWNER_PID, table)) / sizeof(rows[0]);
  rows.assign(table->table, table->table + std::min<std::size_t>(table->dwNumEntries, room));
  return rows;
}

TableCall system_tcp_table() {
  return [](void* buffer, DWORD* size) {
    return GetExtendedTcpTable(buffer, size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
  };
}

TcpTable read_tcp_table() {
  return read_tcp_table(system_tcp_table());
}

UserSid user_of_process(DWORD pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return std::unexpected(GetLastError());
  return user_of(process.get());
}

UserSid own_user() {
  return user_of(GetCurrentProcess());
}

std::expected<TcpEnds, DWORD> ends_of(SOCKET socket) {
  TcpEnds ends{};
  int size = sizeof ends.host;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&ends.host), &size) != 0)
    return std::unexpected(static_cast<DWORD>(WSAGetLastError()));
  size = sizeof ends.agent;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&ends.agent), &size) != 0)
    return std::unexpected(static_cast<DWORD>(WSAGetLastError()));
  return ends;
}

}  // namespace win32

// A table that kept growing while it was read, beyond every buffer offered (or, in the
// system's own reading, between its counting and its filling): asked again, it is read afresh.
// Any other failure lasts (no IPv4 table, no token of our own).
bool passing_failure(const IoError& failure) {
  return failure.is_os() &&
         (failure.os_code() == ERROR_INSUFFICIENT_BUFFER || failure.os_code() == ERROR_MORE_DATA);
}

std::expected<PeerOwner, IoError> peer_owner(const Socket& stream) {
  auto ends = win32::ends_of(static_cast<SOCKET>(stream.native()));
  if (!ends) return std::unexpected(IoError::os(ends.error()));
  return win32::decide_owner(win32::read_tcp_table(), *ends, win32::user_of_process,
                             win32::own_user());
}

}  // namespace velmora::platform
