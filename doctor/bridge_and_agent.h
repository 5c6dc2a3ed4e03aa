// The bridge file through the host's own reader, then the agent at its port through the host's
// own connector and hello.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <span>

#include "checks.h"

namespace velmora::doctor {

// How long the doctor waits for the answer to its hello.
inline constexpr std::chrono::milliseconds HELLO_ANSWER_LIMIT{2000};

void examine_agent(const std::optional<std::filesystem::path>& bridge_file, Checks& checks,
                   std::chrono::milliseconds answer_limit = HELLO_ANSWER_LIMIT);

// The host waits longer for the answer than the doctor: when it linked, a hello the doctor saw
// unanswered was an agent slow to answer, which works, so it fails nothing.
void slow_agent(std::span<Check> agent_checks);

}  // namespace velmora::doctor
