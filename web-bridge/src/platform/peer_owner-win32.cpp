// The owner of the agent's end on Windows: its owning process from the IPv4 TCP table, then the
// user of that process's token, compared with the host's own.
#include "platform/peer_owner-win32.h"

#include <algorithm>

#include "platform/unique_handle-win32.h"

namespace velmora::platform {

namespace win32 {

namespace {

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

}  // namespace win32

namespace {

using win32::Sid;
using win32::UserSid;

win32::TcpTable read_tcp_table() {
  std::vector<std::byte> buffer;
  DWORD size = 0;
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  // The table may grow between the call that sizes it and the one that fills it.
  for (int tries = 0; tries < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++tries) {
    buffer.resize(size);
    result = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, AF_INET,
                                 TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
  }
  if (result != NO_ERROR) return std::unexpected(result);
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  return std::vector<MIB_TCPROW_OWNER_PID>(table->table, table->table + table->dwNumEntries);
}

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

UserSid user_of_process(DWORD pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return std::unexpected(GetLastError());
  return user_of(process.get());
}

std::expected<win32::TcpEnds, DWORD> ends_of(SOCKET socket) {
  win32::TcpEnds ends{};
  int size = sizeof ends.host;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&ends.host), &size) != 0)
    return std::unexpected(static_cast<DWORD>(WSAGetLastError()));
  size = sizeof ends.agent;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&ends.agent), &size) != 0)
    return std::unexpected(static_cast<DWORD>(WSAGetLastError()));
  return ends;
}

}  // namespace

std::expected<PeerOwner, IoError> peer_owner(const Socket& stream) {
  auto ends = ends_of(static_cast<SOCKET>(stream.native()));
  if (!ends) return std::unexpected(IoError::os(ends.error()));
  return win32::decide_owner(read_tcp_table(), *ends, user_of_process,
                             user_of(GetCurrentProcess()));
}

}  // namespace velmora::platform
