// The Windows decision on made-up TCP tables and process users, the reading of a table that
// grows while it is read, and the real lookup once.
#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <optional>

#include "platform/peer_owner-win32.h"

namespace velmora::platform::win32 {
namespace {

using namespace std::chrono_literals;

constexpr u_short kAgentPort = 40001;
constexpr u_short kHostPort = 50002;
constexpr DWORD kHostPid = 10;
constexpr DWORD kAgentPid = 20;

sockaddr_in loopback(u_short port) {
  sockaddr_in end{};
  end.sin_family = AF_INET;
  end.sin_port = htons(port);
  end.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return end;
}

Sid well_known(WELL_KNOWN_SID_TYPE type) {
  Sid sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  // A failure leaves no valid SID, which no case would take for a match.
  sid.resize(CreateWellKnownSid(type, nullptr, sid.data(), &size) ? size : 0);
  return sid;
}

// The table's row for a connection from `local` to `remote`, as GetExtendedTcpTable gives it.
MIB_TCPROW_OWNER_PID row(u_short local, u_short remote, DWORD pid) {
  return {MIB_TCP_STATE_ESTAB, loopback(local).sin_addr.s_addr,
          htons(local),        loopback(remote).sin_addr.s_addr,
          htons(remote),       pid};
}

struct DecisionCase {
  const char* name;
  TcpTable table;
  UserSid agent_user;  // the user of kAgentPid
  bool own_known;
  std::optional<PeerOwner> owner;  // nothing: the lookup failed, and nothing may be sent
};

void PrintTo(const DecisionCase& row, std::ostream* out) {
  *out << row.name;
}

const Sid kOwn = well_known(WinLocalServiceSid);
const Sid kOther = well_known(WinNetworkServiceSid);
// Both ends' rows: the host's own row (its user is ours) must not be taken for the agent's.
const TcpTable kBothEnds =
    std::vector{row(kHostPort, kAgentPort, kHostPid), row(kAgentPort, kHostPort, kAgentPid)};

class Decision : public testing::TestWithParam<DecisionCase> {};

TEST_P(Decision, ComparesTheUserOfTheAgentEndsOwner) {
  const DecisionCase& c = GetParam();
  std::map<DWORD, UserSid> users{{kHostPid, kOwn}, {kAgentPid, c.agent_user}};
  auto user_of = [&](DWORD pid) {
    auto user = users.find(pid);
    return user == users.end() ? UserSid(std::unexpected(ERROR_INVALID_PARAMETER)) : user->second;
  };
  UserSid own = c.own_known ? UserSid(kOwn) : std::unexpected(ERROR_ACCESS_DENIED);
  TcpEnds ends{loopback(kHostPort), loopback(kAgentPort)};
  auto owner = decide_owner(c.table, ends, user_of, own);
  EXPECT_EQ(owner ? std::optional(*owner) : std::nullopt, c.owner);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Decision,
    testing::Values(DecisionCase{"same_sid", kBothEnds, kOwn, true, PeerOwner::Same},
                    DecisionCase{"other_sid", kBothEnds, kOther, true, PeerOwner::Other},
                    DecisionCase{"open_process_denied", kBothEnds,
                                 std::unexpected(ERROR_ACCESS_DENIED), true, PeerOwner::Other},
                    DecisionCase{"owner_process_gone", kBothEnds,
                                 std::unexpected(ERROR_INVALID_PARAMETER), true, PeerOwner::Other},
                    // Wine: loopback connections are owned by process 0.
                    DecisionCase{
                        "no_owner",
                        std::vector{row(kHostPort, kAgentPort, 0), row(kAgentPort, kHostPort, 0)},
                        kOther, true, PeerOwner::Unknown},
                    DecisionCase{"no_row_for_the_agent_end",
                                 std::vector{row(kHostPort, kAgentPort, kHostPid),
                                             row(kAgentPort, kHostPort + 1, kAgentPid)},
                                 kOther, true, PeerOwner::Unknown},
                    DecisionCase{"table_lookup_failing", std::unexpected(ERROR_NOT_SUPPORTED),
                                 kOther, true, std::nullopt},
                    DecisionCase{"own_user_unknown", kBothEnds, kOther, false, std::nullopt}),
    [](const auto& test) { return std::string(test.param.name); });

// A table of `rows` connections that grows by `growth` after every call, as the system fills it.
struct GrowingTable {
  std::size_t rows;
  std::size_t growth;
  DWORD failure = NO_ERROR;

  DWORD operator()(void* buffer, DWORD* size) {
    if (failure != NO_ERROR) return failure;
    auto needed = static_cast<DWORD>(offsetof(MIB_TCPTABLE_OWNER_PID, table) +
                                     rows * sizeof(MIB_TCPROW_OWNER_PID));
    std::size_t now = rows;
    rows += growth;
    if (buffer == nullptr || *size < needed) {
      *size = needed;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    auto* table = static_cast<MIB_TCPTABLE_OWNER_PID*>(buffer);
    table->dwNumEntries = static_cast<DWORD>(now);
    for (std::size_t i = 0; i < now; ++i) table->table[i] = row(kHostPort, kAgentPort, kAgentPid);
    return NO_ERROR;
  }
};

struct TableCase {
  const char* name;
  GrowingTable table;
  std::expected<std::size_t, DWORD> rows;  // as read, or the error
  bool passing = false;                    // the error may pass when asked again
};

void PrintTo(const TableCase& row, std::ostream* out) {
  *out << row.name;
}

class TableRead : public testing::TestWithParam<TableCase> {};

TEST_P(TableRead, OutgrowsATableThatGrowsBetweenCalls) {
  const TableCase& c = GetParam();
  auto table = read_tcp_table(GrowingTable(c.table));
  ASSERT_EQ(table.has_value(), c.rows.has_value());
  if (table) {
    EXPECT_EQ(table->size(), *c.rows);
  } else {
    EXPECT_EQ(table.error(), c.rows.error());
    EXPECT_EQ(passing_failure(IoError::os(table.error())), c.passing);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TableRead,
    testing::Values(TableCase{"steady", {3000, 0}, 3000},
                    // One connection opened between the call that sized it and the next.
                    TableCase{"a_row_more_at_every_call", {3000, 1}, 3001},
                    TableCase{"outgrows_every_buffer",
                              {1000, 100000},
                              std::unexpected(DWORD{ERROR_INSUFFICIENT_BUFFER}),
                              true},
                    TableCase{"no_table",
                              {0, 0, ERROR_NOT_SUPPORTED},
                              std::unexpected(DWORD{ERROR_NOT_SUPPORTED})},
                    TableCase{"counted_then_grown",
                              {0, 0, ERROR_MORE_DATA},
                              std::unexpected(DWORD{ERROR_MORE_DATA}),
                              true}),
    [](const auto& test) { return std::string(test.param.name); });

// Wine's table names no owner, Windows names this process: never another user.
TEST(PeerOwnerOnWindows, OwnListenerIsNeverAnotherUser) {
  auto listener = Listener::bind_loopback(0).value();
  auto stream = Socket::connect_loopback(listener.port(), 500ms).value();
  auto accepted = listener.accept().value();
  auto owner = peer_owner(stream);
  ASSERT_TRUE(owner) << owner.error().display();
  EXPECT_NE(*owner, PeerOwner::Other);
}

}  // namespace
}  // namespace velmora::platform::win32
