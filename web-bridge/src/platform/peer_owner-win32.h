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

}  // namespace velmora::platform::win32
