#include "host/launch.h"

#include <mutex>
#include <string>
#include <string_view>

#include "frame.h"
#include "host/connector.h"
#include "host/messages.h"
#include "host/report.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

namespace {

// The agent's program name, without the platform's executable suffix.
constexpr std::string_view AGENT_PROGRAM = "velmora-agent";

bool agent_answers(const std::filesystem::path& bridge_file) {
  // The probe connection closes at once, without a byte sent.
  return connect_agent(bridge_file, LAUNCH_PROBE_DEADLINE).has_value();
}

// Tries to start the agent; gives whether this host created its process.
bool start_agent() {
  auto agent = agent_executable_path();
  if (!agent || !platform::metadata_readable(*agent)) return false;
  bool started = platform::start_detached_process(*agent).has_value();
  report_line(std::string("agent ") + (started ? "launched" : "not launched") + " (" +
              platform::display_path(*agent) + ")");
  return started;
}

std::expected<void, HostError> write_reply(bool launched) {
  std::string bytes = launch_reply(launched);
  std::lock_guard lock(platform::standard_output_lock());
  auto written = write_frame(platform::standard_output(), std::as_bytes(std::span(bytes)));
  if (!written) return std::unexpected(written.error());
  return {};
}

}  // namespace

std::string agent_file_name() {
  return std::string(AGENT_PROGRAM) + platform::EXECUTABLE_SUFFIX;
}

std::expected<std::filesystem::path, IoError> agent_executable_path() {
  auto host = platform::running_executable_final_path();
  if (!host) return host;
  // The agent gets this path as its command line and may show or store it: the ordinary form,
  // not the final-path query's \\?\ form, wherever that names the same file.
  return platform::ordinary_path(host->replace_filename(agent_file_name()));
}

std::expected<void, HostError> handle_launch_request(const std::filesystem::path& bridge_file) {
  bool launched = !agent_answers(bridge_file) && start_agent();
  return write_reply(launched);
}

}  // namespace velmora
