// The doctor's checks: each browser's registration, the bridge file and the agent behind it,
// and one real run of the registered host.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "checks.h"
#include "system/browsers.h"

namespace velmora::doctor {

struct Expected {
  std::string_view host_name;
  std::span<const std::string> chromium_ids;
  std::span<const std::string> firefox_ids;
};

// A browser's registration that it can use: the host it would start, and with which origin.
struct UsableHost {
  std::filesystem::path host;
  std::string origin;
  bool through_shell = false;  // started through the command shell, as Chrome does on Windows
  // Started by /bin/sh: a host only that can run (no "#!" line), by a browser that does so.
  bool script_fallback = false;
};

// Adds the browser's checks; gives its host when the browser could start it.
std::optional<UsableHost> examine_browser(const system::Browser& browser,
                                          const system::Surroundings& around,
                                          const Expected& expected, Checks& checks);

// How long the doctor waits for the answer to its hello.
inline constexpr std::chrono::milliseconds HELLO_ANSWER_LIMIT{2000};

// The bridge file through the host's own reader, then the agent through its own connector.
void examine_agent(const std::optional<std::filesystem::path>& bridge_file, Checks& checks,
                   std::chrono::milliseconds answer_limit = HELLO_ANSWER_LIMIT);

// Starts the host as the browsers named would and says what came of it; true when it linked.
bool examine_host_run(const UsableHost& usable, std::string_view browsers, bool agent_failed,
                      Checks& checks);

// Everything, in order, for the current user.
Checks examine_all(const Expected& expected);

}  // namespace velmora::doctor
