// The launch request: when the agent does not answer, start it from the host's own folder, then
// tell the extension whether this host started it.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

#include "errors.h"

namespace velmora {

// Probes the agent, starts it when it does not answer, writes the launch line when a start was
// attempted, and writes the launch reply.
std::expected<void, HostError> handle_launch_request(const std::filesystem::path& bridge_file);

// The agent program's file name: "velmora-agent", with the platform's executable suffix.
std::string agent_file_name();

// The agent program's path: beside the host's executable, after resolving links.
std::expected<std::filesystem::path, IoError> agent_executable_path();

}  // namespace velmora
