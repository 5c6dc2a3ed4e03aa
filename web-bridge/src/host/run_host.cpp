#include "host/run_host.h"

#include <condition_variable>
#include <optional>

#include "frame_queue.h"
#include "host/extension_reader.h"
#include "host/threads.h"
#include "platform/files.h"
#include "platform/stdio.h"

namespace velmora {

namespace {

// Until the agent link exists the host only waits for the extension's input to end, which the
// reader notices; this thread blocks without polling meanwhile.
[[noreturn]] void wait_forever() {
  std::mutex mutex;
  std::condition_variable never;
  std::unique_lock lock(mutex);
  for (;;) never.wait(lock);
}

}  // namespace

std::expected<void, HostError> run_host() {
  platform::prepare_standard_streams();
  auto roaming = platform::roaming_app_data_folder();
  if (!roaming) return std::unexpected(PlainMessage{"no config directory"});

  auto [sender, receiver] = make_frame_queue();
  spawn_detached([s = std::move(sender)]() mutable { extension_reader(std::move(s)); });

  std::optional<Payload> first_message;
  if (auto payload = receiver.receive_for(FIRST_MESSAGE_WAIT)) first_message = std::move(*payload);
  wait_forever();
}

}  // namespace velmora
