// The pieces of peer_owner on Windows, apart from the system calls that feed them, so that the
// decision can be tested on made-up tables and users.
#pragma once

// In any order: WIN32_LEAN_AND_MEAN (cmake/Warnings.cmake) keeps the old winsock.h out.
#include <iphlpapi.h>
#include <windows.h>
#include <winsock2.h>

#include <cstddef>
#include <expected>
#include <functional>
#include <vector>

#include "platform/peer_owner.h"

namespace velmora::platform::win32 {

// A user's SID as bytes, or the error of the query that should have given it.
using Sid = std::vector<std::byte>;
using UserSid = std::expected<Sid, DWORD>;
// The IPv4 TCP connections with their owning processes, or the error of GetExtendedTcpTable.
using TcpTable = std::expected<std::vector<MIB_TCPROW_OWNER_PID>, DWORD>;
// The user of process `pid`.
using UserOfProcess = std::function<UserSid(DWORD pid)>;

struct TcpEnds {
  sockaddr_in host;   // this end of the connection
  sockaddr_in agent;  // the far end, whose owner is asked for
};

// Same when the agent's end's owning process runs as `own`, Other when it runs as another user
// or its user cannot be learnt, Unknown when the table names no owner (no row; Wine gives
// process 0 for loopback connections), and the error when the table or `own` cannot be had.
std::expected<PeerOwner, IoError> decide_owner(const TcpTable& table, const TcpEnds& ends,
                                               const UserOfProcess& user_of, const UserSid& own);

// GetExtendedTcpTable for the IPv4 connections and their owners, with the buffer and its size
// (in: the buffer's, out: the table's).
using TableCall = std::function<DWORD(void* buffer, DWORD* size)>;

// The table by `call`, which may report it grown at every call: a buffer that was too small
// is grown to the size reported and some more, a few times over.
TcpTable read_tcp_table(const TableCall& call);

// The system calls that feed the decision, for peer_owner and the owner tally.
TableCall system_tcp_table();
TcpTable read_tcp_table();
UserSid user_of_process(DWORD pid);
UserSid own_user();
std::expected<TcpEnds, DWORD> ends_of(SOCKET socket);

}  // namespace velmora::platform::win32
