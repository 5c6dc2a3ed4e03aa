#include "bridge_and_agent.h"

#include "bridge_file.h"
#include "frame.h"
#include "host/connector.h"
#include "host/launch.h"
#include "host/messages.h"
#include "platform/files.h"
#include "platform/peer_owner.h"
#include "system/browsers.h"
#include "system/read_limit.h"

namespace velmora::doctor {

namespace {

// How the doctor tells a hello unanswered within its wait: a slow agent, if the host still links.
constexpr std::string_view NO_HELLO_ANSWER =
    " took the connection but gave no answer to the hello ";

// What the program at the port makes of the host's hello with the bridge file's token, waiting
// at most `limit` for the answer; nothing when it accepts, as the agent does.
std::optional<Check> hello_fault(AgentLink& link, const std::string& address,
                                 std::chrono::milliseconds limit) {
  auto fail = [](std::string text) { return Check{"agent", Verdict::Fail, std::move(text)}; };
  // Without a bound the answer could be awaited for ever, so no hello is sent: the host's run
  // below tells whether the agent answers.
  if (!system::limit_reads(link.stream, limit))
    return Check{
        "agent", Verdict::Info,
        "takes connections at " + address +
            "; the doctor cannot bound its wait for an "
            "answer here, so it sent no hello: the host's run below tells whether the agent "
            "answers"};
  if (!write_frame(link.stream, as_bytes(hello_message(link.bridge.token))))
    return fail(address + " closed the connection before the hello; start the agent");
  auto reply = read_frame(link.stream);
  if (!reply)
    return fail("the program at " + address + std::string(NO_HELLO_ANSWER) + "within " +
                std::to_string(limit.count() / 1000) + " s (" + reply.error().display() +
                "): it is not the agent, or it hangs; stop it and start the agent");
  auto accepted = is_acceptance(*reply);
  if (!accepted)
    return fail("the program at " + address + " answered the hello with something that is " +
                "not the agent's reply: it is not the agent; stop it and start the agent");
  if (!*accepted)
    return fail("the agent at " + address + " refused the token of the bridge file; restart " +
                "the agent, which writes a fresh one");
  return std::nullopt;
}

// Who answers at the bridge file's port, told through the host's own connector and hello; when
// it gives up, one more connection tells nobody from a program of another user, which it refuses.
void examine_port(const std::filesystem::path& bridge_file, std::uint16_t port,
                  std::chrono::milliseconds answer_limit, Checks& checks) {
  using platform::PeerOwner;
  std::string address = "127.0.0.1:" + std::to_string(port);
  if (auto link = connect_agent(bridge_file, LAUNCH_PROBE_DEADLINE)) {
    auto owner = platform::peer_owner(link->stream);
    bool known = owner && *owner == PeerOwner::Same;
    if (auto fault = hello_fault(*link, address, answer_limit)) {
      checks.push_back(std::move(*fault));
      return;
    }
    checks.push_back(
        {"agent", Verdict::Ok,
         "answers the hello at " + address +
             (known ? ", a program of this user" : " (the system does not say whose)")});
    return;
  }
  auto stream = platform::Socket::connect_loopback(port, CONNECT_TIMEOUT);
  auto owner = stream ? platform::peer_owner(*stream) : PeerOwner::Unknown;
  if (!owner) {
    checks.push_back({"agent", Verdict::Fail,
                      "cannot tell who listens on " + address + ": " + owner.error().display() +
                          ", so the host sends it nothing; stop that program and start the agent"});
    return;
  }
  if (*owner == PeerOwner::Other) {
    checks.push_back({"agent", Verdict::Fail,
                      address + " is held by a program of another user, which the host sends " +
                          "nothing; stop it, then start the agent as this user"});
    return;
  }
  checks.push_back({"agent", Verdict::Fail,
                    "nobody answers at " + address +
                        ": the agent is not running and its bridge file is stale; start it"});
}

}  // namespace

void slow_agent(std::span<Check> agent_checks) {
  for (Check& check : agent_checks) {
    auto at = check.text.find(NO_HELLO_ANSWER);
    if (check.verdict != Verdict::Fail || at == std::string::npos) continue;
    check.verdict = Verdict::Info;
    check.text = check.text.substr(0, at) + " did not answer the doctor's hello within " +
                 std::to_string(HELLO_ANSWER_LIMIT.count() / 1000) +
                 " s, yet the host's run below linked: the agent is slow to answer, and the "
                 "host waits for it";
  }
}

void examine_agent(const std::optional<std::filesystem::path>& bridge_file, Checks& checks,
                   std::chrono::milliseconds answer_limit) {
  if (!bridge_file) {
    checks.push_back({"bridge file", Verdict::Fail,
                      "no per-user configuration folder, so the host cannot find the agent"});
    return;
  }
  std::string where = platform::display_path(*bridge_file);
  auto record = read_bridge_file(*bridge_file);
  if (!record) {
    bool missing = !platform::metadata_readable(*bridge_file);
    std::string why = missing ? "is missing: the agent writes it when it starts; start the agent "
                                "(a launch request from the extension does)"
                      : record.error().kind() == BridgeError::Kind::Protocol
                          ? "is not a bridge file the host can read: " + record.error().debug()
                          : "cannot be read as a regular file";
    checks.push_back({"bridge file", Verdict::Fail, where + " " + why});
    return;
  }
  if (system::owned_by_current_user(*bridge_file) == false) {
    checks.push_back({"bridge file", Verdict::Fail,
                      where + " belongs to another user; the agent must run as this user"});
    return;
  }
  checks.push_back({"bridge file", Verdict::Ok,
                    where + ": port " + std::to_string(record->port) + ", a token of " +
                        std::to_string(record->token.size()) +
                        (record->token.size() == 1 ? " byte" : " bytes")});
  examine_port(*bridge_file, record->port, answer_limit, checks);
}

}  // namespace velmora::doctor
