#include "registrations.h"

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "browser_rules.h"
#include "host/launch.h"
#include "host_version.h"
#include "manifest.h"
#include "platform/files.h"
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

std::string places_list(const Browser& browser) {
  std::string list;
  for (const Place& place : browser.places) list += (list.empty() ? "" : ", ") + place.shown;
  return list;
}

// Registrations that other browsers of the family read and this one does not.
std::string elsewhere(const Browser& browser, const system::BrowserFacts& facts) {
  std::string found;
  for (const Browser& other : facts.browsers) {
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

// The policy that decides whether per-user registrations count: the first that says so, the
// machine's before the user's (the browsers' policy precedence).
const system::Policy* level_policy(const Browser& browser) {
  for (const auto& policy : browser.policies) {
    if (policy.user_level_hosts) return &policy;
  }
  return nullptr;
}

// What the host file says of its version: it informs, the run decides (a wrapper script, or a
// host the user may run but not read, still works).
void note_version(const Browser& browser, const std::filesystem::path& host, Checks& checks) {
  auto bytes = platform::read_whole_file(host, MAX_HOST_FILE_SIZE);
  std::string note;
  if (!bytes) {
    note = "cannot be read (" + bytes.error().display() + "), so its version is not known";
  } else if (auto version = host_version(*bytes); !version) {
    note = "carries no velmora-web-host version mark (a wrapper?)";
  } else if (*version != VELMORA_VERSION) {
    note = "is version " + *version + ", not " VELMORA_VERSION;
  }
  if (!note.empty())
    checks.push_back({browser.name, Verdict::Info,
                      shown(host) + " " + note + "; the run below decides whether it works"});
}

std::vector<std::string> ids_of(const Browser& browser, const Expected& expected) {
  auto ids = browser.family == Family::Chromium ? expected.chromium_ids : expected.firefox_ids;
  return {ids.begin(), ids.end()};
}

// Why the manifest cannot be read as a browser reads it, or nothing. Only a regular file is
// opened, so that a FIFO cannot hold the doctor.
std::optional<std::string> read_fault(const Browser& browser, const std::filesystem::path& file,
                                      std::ifstream& text) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error))
    return "is not a regular file; " + std::string(system::register_step());
  // Refused on size only where the browser refuses it; else the doctor's own bound.
  auto limit = rules_of(browser.family).manifest_limit;
  auto size = std::filesystem::file_size(file, error);
  if (!error && limit != 0 && size > limit)
    return "is larger than the " + std::to_string(limit) + " bytes " + browser.name + " reads; " +
           std::string(system::register_step());
  if (!error && size > MAX_MANIFEST_SIZE)
    return "is larger than the " + std::to_string(MAX_MANIFEST_SIZE >> 30) +
           " GiB the doctor reads, so it cannot tell; " + std::string(system::register_step());
  text.open(file, std::ios::binary);
  if (!text)
    return "cannot be read: " + std::generic_category().message(errno) + "; " +
           std::string(system::register_step());
  return std::nullopt;
}

std::optional<UsableHost> judge_registration(const Browser& browser, const Place& place,
                                             const system::BrowserFacts& facts,
                                             const Expected& expected, Checks& checks) {
  if (!place.fault.empty()) {
    fail(checks, browser, place.shown + ": " + place.fault);
    return std::nullopt;
  }
  const auto& file = *place.manifest;
  std::ifstream text;
  if (auto fault = read_fault(browser, file, text)) {
    // A registry key names the file; a folder's place is the file itself.
    std::string named = place.shown == shown(file) ? "" : place.shown + " names ";
    fail(checks, browser, named + shown(file) + ", which " + *fault);
    return std::nullopt;
  }
  auto ids = ids_of(browser, expected);
  auto verdict = judge_manifest(
      file, text, {expected.host_name, browser.family, ids, facts.relative_host_paths});
  for (auto& fault : verdict.faults) fail(checks, browser, shown(file) + ": " + fault);
  if (!verdict.faults.empty()) return std::nullopt;
  if (!system::runnable(*verdict.host)) {
    fail(checks, browser,
         shown(file) + " names " + shown(*verdict.host) +
             ", which is no program this user can start; reinstall the host");
    return std::nullopt;
  }
  checks.push_back({browser.name, Verdict::Ok,
                    "registered at " + place.shown + ": starts " + shown(*verdict.host)});
  note_version(browser, *verdict.host, checks);
  auto agent = verdict.host->parent_path() / velmora::agent_file_name();
  if (!platform::metadata_readable(agent))
    checks.push_back({browser.name, Verdict::Info,
                      "no " + shown(agent) + ": a launch request cannot start the agent"});
  std::string origin = ids.empty() ? std::string() : origin_of(browser.family, ids.front());
  bool script = rules_of(browser.family).script_fallback && system::needs_shell(*verdict.host);
  return UsableHost{*verdict.host, origin, browser.through_shell, script};
}

// Each place in the browser's order: the first registration it uses, with what it passed over.
std::optional<UsableHost> walk_places(const Browser& browser, const system::BrowserFacts& facts,
                                      const Expected& expected, Checks& checks) {
  const system::Policy* level = level_policy(browser);
  bool hide_user = level && *level->user_level_hosts == false;
  Checks passed;  // what a browser that looks on skipped: it fails nothing if a later place serves
  std::vector<std::string> hidden;
  for (const Place& place : browser.places) {
    if (!place.skipped.empty() || place.in_bundle) {
      auto why = place.in_bundle ? std::string(rules_of(browser.family).bundled) : place.skipped;
      passed.push_back({browser.name, Verdict::Info, place.shown + ": " + why});
      continue;
    }
    if (!place.manifest && place.fault.empty()) continue;
    if (place.user_level && hide_user) {
      hidden.push_back(place.shown);
      continue;
    }
    Checks found;
    auto usable = judge_registration(browser, place, facts, expected, found);
    if (!usable && rules_of(browser.family).falls_back) {
      for (Check& check : found) passed.push_back(std::move(check));
      continue;
    }
    for (Check& check : passed) check.verdict = Verdict::Info;
    for (const auto& shown_place : hidden)
      passed.push_back({browser.name, Verdict::Info,
                        shown_place +
                            " is hidden by the policy NativeMessagingUserLevelHosts=0 at " +
                            level->shown});
    checks.insert(checks.end(), passed.begin(), passed.end());
    checks.insert(checks.end(), found.begin(), found.end());
    return usable;
  }
  checks.insert(checks.end(), passed.begin(), passed.end());
  for (const auto& shown_place : hidden)
    fail(checks, browser,
         shown_place + " is hidden by the policy NativeMessagingUserLevelHosts=0 at " +
             level->shown + "; register the host machine-wide or lift the policy");
  return std::nullopt;
}

}  // namespace

std::optional<UsableHost> examine_browser(const Browser& browser, const system::BrowserFacts& facts,
                                          const Expected& expected, Checks& checks) {
  std::size_t before = checks.size();
  std::optional<UsableHost> usable;
  if (const auto* policy = blocking_policy(browser, expected.host_name)) {
    // A block fails only a browser the host is registered for: the exit status follows those.
    bool registered = std::ranges::any_of(
        browser.places, [](const Place& p) { return p.manifest || !p.fault.empty(); });
    checks.push_back({browser.name, registered ? Verdict::Fail : Verdict::Info,
                      "the policy NativeMessagingBlocklist at " + policy->shown +
                          " blocks the host" + (registered ? "" : ", which is not registered") +
                          "; add it to NativeMessagingAllowlist or lift the block"});
  } else {
    usable = walk_places(browser, facts, expected, checks);
  }
  if (usable && usable->through_shell && !facts.shell_disabled.empty()) {
    std::string mend = "have the administrator lift DisableCMD";
    if (!browser.launch_directly_key.empty())
      mend = "set the policy NativeHostsExecutablesLaunchDirectly to 1 at " +
             browser.launch_directly_key + ", or " + mend;
    fail(checks, browser,
         "starts hosts through cmd.exe, which the policy " + facts.shell_disabled +
             " keeps from running, so no host starts; " + mend);
    usable.reset();
  }
  if (checks.size() == before)
    checks.push_back(
        {browser.name, Verdict::Info,
         "not registered (looked at " + places_list(browser) + ")" + elsewhere(browser, facts)});
  // What a browser that is not there would do fails nothing and serves nothing.
  if (!browser.installed) {
    for (auto& check : std::ranges::subrange(checks.begin() + static_cast<std::ptrdiff_t>(before),
                                             checks.end())) {
      check.verdict = Verdict::Info;
      check.text = "not installed; " + check.text;
    }
  }
  return usable;
}

std::string sandbox_note(const system::SandboxedInstall& install) {
  const FamilyRules& rules = rules_of(install.family);
  if (install.flatpak.empty())
    return install.browser + " is installed as a snap, " + std::string(rules.snap);
  return install.browser + " is installed as the Flatpak " + install.flatpak + ", " +
         std::string(rules.flatpak);
}

}  // namespace velmora::doctor
