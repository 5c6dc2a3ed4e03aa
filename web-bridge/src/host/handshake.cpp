#include "host/handshake.h"

#include <mutex>
#include <string_view>

#include "frame.h"
#include "host/messages.h"
#include "platform/stdio.h"

namespace velmora {

namespace {

std::expected<void, HostError> await_acceptance(platform::Socket& stream) {
  auto reply = read_frame(stream);
  if (!reply) return std::unexpected(reply.error());
  auto accepted = is_acceptance(*reply);
  if (!accepted) return std::unexpected(accepted.error());
  if (!*accepted) return std::unexpected(BridgeError::rejected("agent refused the connection"));
  return {};
}

}  // namespace

std::expected<void, HostError> link_agent(platform::Socket& stream, const std::string& token) {
  (void)stream.set_no_delay();  // a refusal only costs latency
  if (auto sent = write_frame(stream, as_bytes(hello_message(token))); !sent) {
    return std::unexpected(sent.error());
  }
  if (auto accepted = await_acceptance(stream); !accepted) return accepted;
  std::lock_guard lock(platform::standard_output_lock());
  if (auto notice = write_frame(platform::standard_output(), as_bytes(LINKED_NOTICE)); !notice) {
    return std::unexpected(notice.error());
  }
  return {};
}

}  // namespace velmora
