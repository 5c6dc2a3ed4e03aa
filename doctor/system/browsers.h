// Where each browser on this system looks for a native-messaging host's manifest, in its own
// order, what is registered there, and the policies that hide or block hosts. Linux reads
// folders and policy files, Windows the registry; the checks on top are the same.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "family.h"

namespace velmora::doctor::system {

using registration::Family;

// One place a browser looks: a folder's <name>.json, or a registry key in one view.
struct Place {
  std::string shown;  // the exact file or key, as the user would find it
  bool user_level = true;
  // The manifest registered there; nothing when nothing is.
  std::optional<std::filesystem::path> manifest;
  // Why what is there cannot be used (a key naming a relative path), else empty.
  std::string fault;
  // Why the browser passes over what is there and looks on (a key whose default value is not a
  // string), else empty.
  std::string skipped;
  // A folder inside the browser's own bundle, which the doctor cannot find from outside.
  bool in_bundle = false;
};

struct Policy {
  std::string shown;  // the policy file or key
  std::optional<bool> user_level_hosts;
  std::vector<std::string> blocklist;
  std::vector<std::string> allowlist;
  std::optional<bool> launch_directly;  // NativeHostsExecutablesLaunchDirectly
};

struct Browser {
  std::string name;
  Family family = Family::Chromium;
  bool installed = false;     // its program is where its packages put it, or on PATH
  std::vector<Place> places;  // in the browser's order of looking
  std::vector<Policy> policies;
  // It starts a host through the command shell (Chrome's way on Windows) rather than directly.
  bool through_shell = false;
  // Where the policy that has it start hosts directly would go, or empty where it has none.
  std::string launch_directly_key;
};

// A browser installed as a Flatpak or snap, which reaches hosts otherwise or not at all.
struct SandboxedInstall {
  std::string browser;
  Family family = Family::Chromium;
  std::string flatpak;  // the Flatpak's application ID, or empty for a snap
};

// What this system holds of every browser the doctor knows: where each looks and what is there.
struct BrowserFacts {
  std::vector<Browser> browsers;
  // Manifests may name the host relative to their own folder (Windows).
  bool relative_host_paths = false;
  std::vector<SandboxedInstall> sandboxed;
  // The policy that keeps the command shell from running ("DisableCMD=1 at <key>"), or empty.
  std::string shell_disabled;
};

BrowserFacts find_browsers(std::string_view host_name);

// The one step that registers the host again on this system.
std::string_view register_step();

// The program the browser would start: a regular file it may execute.
bool runnable(const std::filesystem::path& path);

// Whether the current user owns the file; nothing where the platform cannot tell.
std::optional<bool> owned_by_current_user(const std::filesystem::path& path);

}  // namespace velmora::doctor::system
