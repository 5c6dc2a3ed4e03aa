// A browser's registrations of the host: each place it looks, in its order, the manifest there
// judged by its family's rules, and the policies that hide or block the host.
#pragma once

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
                                          const system::BrowserFacts& facts,
                                          const Expected& expected, Checks& checks);

// What a sandboxed install of a browser can do about hosts, and what the user can do.
std::string sandbox_note(const system::SandboxedInstall& install);

}  // namespace velmora::doctor
