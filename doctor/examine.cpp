#include "examine.h"

#include <algorithm>

#include "bridge_file.h"
#include "host/connector.h"
#include "host/launch.h"
#include "host/messages.h"
#include "host_version.h"
#include "manifest.h"
#include "platform/files.h"
#include "platform/peer_owner.h"
#include "platform/process.h"
#include "product.h"
#include "system/host_run.h"

namespace velmora::doctor {

namespace {

using platform::display_path;
using system::Browser;
using system::Family;
using system::Place;

std::string shown(const std::filesystem::path& path) {
  return display_path(path);
}

bool contains(const std::vector<std::string>& list, std::string_view item) {
  return std::ranges::find(list, item) != list.end();
}

// The policy that keeps the browser from starting the host at all, or nullptr.
const system::Policy* blocking_policy(const Browser& browser, std::string_view host_name) {
  for (const auto& policy : browser.policies) {
    bool blocked = contains(policy.blocklist, "*") || contains(policy.blocklist, host_name);
    bool allowed = std::ranges::any_of(
        browser.policies, [&](const auto& p) { return contains(p.allowlist, host_name); });
    if (blocked && !allowed) return &policy;
  }
  return nullptr;
}

const system::Policy* hiding_policy(const Browser& browser) {
  for (const auto& policy : browser.policies) {
    if (policy.user_level_hosts == false) return &policy;
  }
  return nullptr;
}

std::string places_list(const Browser& browser) {
  std::string list;
  for (const Place& place : browser.places) list += (list.empty() ? "" : ", ") + place.shown;
  return list;
}

// Registrations that other browsers of the family read and this one does not.
std::string elsewhere(const Browser& browser, const system::Surroundings& around) {
  std::string found;
  for (const Browser& other : around.browsers) {
    if (other.family != browser.family) continue;
    for (const Place& place : other.places) {
      bool mine = std::ranges::any_of(browser.places,
                                      [&](const Place& p) { return p.shown == place.shown; });
      if (!place.manifest || mine || found.find(place.shown) != std::string::npos) continue;
      found += (found.empty() ? "" : ", ") + place.shown + " (" + other.name + "'s)";
    }
  }
  return found.empty() ? "" : "; " + browser.name + " does not read " + found;
}

void fail(Checks& checks, const Browser& browser, std::string text) {
  checks.push_back({browser.name, Verdict::Fail, std::move(text)});
}

// The first place with a registration that the browser reads, after the policies.
const Place* used_place(const Browser& browser, const system::Policy* hiding, Checks& checks) {
  for (const Place& place : browser.places) {
    if (!place.manifest && place.fault.empty()) continue;
    if (place.user_level && hiding) {
      fail(checks, browser,
           place.shown + " is hidden by the policy NativeMessagingUserLevelHosts=0 at " +
               hiding->shown + "; register the host machine-wide or lift the policy");
      continue;
    }
    return &place;
  }
  return nullptr;
}

// Why the host file is not this version's host, or empty.
std::string version_fault(const std::filesystem::path& host) {
  auto bytes = platform::read_whole_file(host, MAX_HOST_FILE_SIZE);
  if (!bytes) return "cannot be read: " + bytes.error().display();
  auto version = host_version(*bytes);
  if (!version) return "is not velmora-web-host";
  if (*version != VELMORA_VERSION) return "is version " + *version + ", not " VELMORA_VERSION;
  return {};
}

std::vector<std::string> ids_of(const Browser& browser, const Expected& expected) {
  auto ids = browser.family == Family::Chromium ? expected.chromium_ids : expected.firefox_ids;
  return {ids.begin(), ids.end()};
}

std::optional<UsableHost> judge_registration(const Browser& browser, const Place& place,
                                             const system::Surroundings& around,
                                             const Expected& expected, Checks& checks) {
  if (!place.fault.empty()) {
    fail(checks, browser, place.shown + ": " + place.fault);
    return std::nullopt;
  }
  const auto& file = *place.manifest;
  auto bytes = platform::read_whole_file(file, MAX_MANIFEST_SIZE);
  if (!bytes) {
    // A registry key names the file; a folder's place is the file itself.
    std::string named = place.shown == shown(file) ? "" : place.shown + " names ";
    fail(checks, browser,
         named + shown(file) + ", which cannot be read: " + bytes.error().display());
    return std::nullopt;
  }
  auto ids = ids_of(browser, expected);
  auto verdict = judge_manifest(
      file, *bytes, {expected.host_name, browser.family, ids, around.relative_host_paths});
  for (auto& fault : verdict.faults) fail(checks, browser, shown(file) + ": " + fault);
  if (!verdict.faults.empty()) return std::nullopt;
  if (!system::runnable(*verdict.host)) {
    fail(checks, browser,
         shown(file) + " names " + shown(*verdict.host) +
             ", which is no program this user can start; reinstall the host");
    return std::nullopt;
  }
  if (auto fault = version_fault(*verdict.host); !fault.empty()) {
    fail(checks, browser,
         shown(file) + " names " + shown(*verdict.host) + ", which " + fault +
             "; reinstall the host");
    return std::nullopt;
  }
  checks.push_back({browser.name, Verdict::Ok,
                    "registered at " + place.shown + ": starts " + shown(*verdict.host)});
  auto agent = verdict.host->parent_path() / velmora::agent_file_name();
  if (!platform::metadata_readable(agent))
    checks.push_back({browser.name, Verdict::Info,
                      "no " + shown(agent) + ": a launch request cannot start the agent"});
  std::string origin = ids.empty() ? std::string() : origin_of(browser.family, ids.front());
  return UsableHost{*verdict.host, origin};
}

// Who answers at the bridge file's port, told through the host's own connector; when it gives
// up, one more connection tells nobody from a program of another user, which it refuses.
void examine_port(const std::filesystem::path& bridge_file, std::uint16_t port, Checks& checks) {
  using platform::PeerOwner;
  std::string address = "127.0.0.1:" + std::to_string(port);
  if (auto link = connect_agent(bridge_file, LAUNCH_PROBE_DEADLINE)) {
    auto owner = platform::peer_owner(link->stream);
    bool known = owner && *owner == PeerOwner::Same;
    checks.push_back(
        {"agent", Verdict::Ok,
         "answers at " + address +
             (known ? ", a program of this user" : " (the system does not say whose)")});
    return;
  }
  auto stream = platform::Socket::connect_loopback(port, CONNECT_TIMEOUT);
  auto owner = stream ? platform::peer_owner(*stream) : PeerOwner::Unknown;
  if (!owner) {
    checks.push_back({"agent", Verdict::Fail,
                      "cannot tell who listens on " + address + ": " + owner.error().display() +
                          ", so the host sends it nothing"});
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

std::optional<UsableHost> examine_browser(const Browser& browser,
                                          const system::Surroundings& around,
                                          const Expected& expected, Checks& checks) {
  if (const auto* policy = blocking_policy(browser, expected.host_name)) {
    fail(checks, browser,
         "the policy NativeMessagingBlocklist at " + policy->shown +
             " blocks the host; add it to NativeMessagingAllowlist or lift the block");
    return std::nullopt;
  }
  std::size_t before = checks.size();
  const Place* place = used_place(browser, hiding_policy(browser), checks);
  if (place) return judge_registration(browser, *place, around, expected, checks);
  if (checks.size() > before) return std::nullopt;  // registered, but hidden by the policy
  std::string state = browser.installed ? "" : "not installed; ";
  checks.push_back({browser.name, Verdict::Info,
                    state + "not registered (looked at " + places_list(browser) + ")" +
                        elsewhere(browser, around)});
  return std::nullopt;
}

void examine_agent(const std::optional<std::filesystem::path>& bridge_file, Checks& checks) {
  if (!bridge_file) {
    checks.push_back({"bridge file", Verdict::Fail,
                      "no per-user configuration folder, so the host cannot find the agent"});
    return;
  }
  std::string where = shown(*bridge_file);
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
  examine_port(*bridge_file, record->port, checks);
}

void examine_host_run(const UsableHost& usable, Checks& checks) {
  using namespace std::chrono_literals;
  // The host gives the agent up to 8 s; a little more covers its start.
  auto run = system::run_host_once(usable.host, usable.origin, LINK_DEADLINE + 2s);
  if (!run) {
    checks.push_back({"host run", Verdict::Fail, shown(usable.host) + ": " + run.error()});
    return;
  }
  if (run->first_frame && std::ranges::equal(*run->first_frame, as_bytes(LINKED_NOTICE))) {
    checks.push_back({"host run", Verdict::Ok, shown(usable.host) + " linked with the agent"});
    return;
  }
  std::string line = run->error_stream.substr(0, run->error_stream.find('\n'));
  std::string status = run->status ? "status " + std::to_string(*run->status) : "was stopped";
  checks.push_back({"host run", Verdict::Fail,
                    shown(usable.host) + " did not link (" + status + ")" +
                        (line.empty() ? "" : ": \"" + line + "\"")});
}

Checks examine_all(const Expected& expected) {
  Checks checks;
  auto around = system::look_around(expected.host_name);
  std::optional<UsableHost> usable;
  for (const Browser& browser : around.browsers) {
    auto host = examine_browser(browser, around, expected, checks);
    if (!usable) usable = std::move(host);
  }
  for (const auto& note : around.unreachable) checks.push_back({"sandbox", Verdict::Info, note});
  if (!usable)
    checks.push_back({"browsers", Verdict::Fail,
                      "no browser has a registration of the host that it can use; install it"});
  examine_agent(bridge_file_path(), checks);
  if (usable) examine_host_run(*usable, checks);
  return checks;
}

}  // namespace velmora::doctor
