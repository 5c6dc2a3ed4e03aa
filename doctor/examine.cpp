#include "examine.h"

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "bridge_file.h"
#include "browser_rules.h"
#include "frame.h"
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
#include "system/read_limit.h"

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
                                             const system::Surroundings& around,
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
      file, text, {expected.host_name, browser.family, ids, around.relative_host_paths});
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
std::optional<UsableHost> walk_places(const Browser& browser, const system::Surroundings& around,
                                      const Expected& expected, Checks& checks) {
  const system::Policy* level = level_policy(browser);
  bool hide_user = level && *level->user_level_hosts == false;
  Checks passed;  // what a browser that looks on skipped: it fails nothing if a later place serves
  std::vector<std::string> hidden;
  for (const Place& place : browser.places) {
    if (!place.skipped.empty()) {
      passed.push_back({browser.name, Verdict::Info, place.shown + ": " + place.skipped});
      continue;
    }
    if (!place.manifest && place.fault.empty()) continue;
    if (place.user_level && hide_user) {
      hidden.push_back(place.shown);
      continue;
    }
    Checks found;
    auto usable = judge_registration(browser, place, around, expected, found);
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

// What to look at when the port closes only later, which this one run cannot show.
constexpr std::string_view AFTER_THE_LINK =
    "if the extension's port still closes after the link (\"Native host has exited\"), look at "
    "the sizes of the agent's messages: Chrome and Firefox close the port on any message from "
    "the host larger than 1 MiB (1048576 bytes), so the agent must keep each message to the "
    "extension within that";

// How the doctor tells a hello unanswered within its wait: a slow agent, if the host still links.
constexpr std::string_view NO_HELLO_ANSWER =
    " took the connection but gave no answer to the hello ";

// The host waits longer for the answer than the doctor: when it linked, a hello the doctor saw
// unanswered was an agent slow to answer, which works, so it fails nothing.
void slow_agent(std::span<Check> agent_checks) {
  for (Check& check : agent_checks) {
    auto at = check.text.find(NO_HELLO_ANSWER);
    if (check.verdict != Verdict::Fail || at == std::string::npos) continue;
    check.verdict = Verdict::Info;
    check.text = check.text.substr(0, at) + " did not answer the doctor's hello within " +
                 std::to_string(HELLO_ANSWER_LIMIT.count() / 1000) +
                 " s, yet the host's run below linked: the agent is slow to answer, and the "
                 "host waits for it";
  }
}

// What the program at the port makes of the host's hello with the bridge file's token, waiting
// at most `limit` for the answer; nothing when it accepts, as the agent does.
std::optional<Check> hello_fault(AgentLink& link, const std::string& address,
                                 std::chrono::milliseconds limit) {
  auto fail = [](std::string text) { return Check{"agent", Verdict::Fail, std::move(text)}; };
  // Without a bound the answer could be awaited for ever, so no hello is sent: the host's run
  // below tells whether the agent answers.
  if (!system::limit_reads(link.stream, limit))
    return Check{
        "agent", Verdict::Info,
        "takes connections at " + address +
            "; the doctor cannot bound its wait for an "
            "answer here, so it sent no hello: the host's run below tells whether the agent "
            "answers"};
  if (!write_frame(link.stream, as_bytes(hello_message(link.bridge.token))))
    return fail(address + " closed the connection before the hello; start the agent");
  auto reply = read_frame(link.stream);
  if (!reply)
    return fail("the program at " + address + std::string(NO_HELLO_ANSWER) + "within " +
                std::to_string(limit.count() / 1000) + " s (" + reply.error().display() +
                "): it is not the agent, or it hangs; stop it and start the agent");
  auto accepted = is_acceptance(*reply);
  if (!accepted)
    return fail("the program at " + address + " answered the hello with something that is " +
                "not the agent's reply: it is not the agent; stop it and start the agent");
  if (!*accepted)
    return fail("the agent at " + address + " refused the token of the bridge file; restart " +
                "the agent, which writes a fresh one");
  return std::nullopt;
}

// Who answers at the bridge file's port, told through the host's own connector and hello; when
// it gives up, one more connection tells nobody from a program of another user, which it refuses.
void examine_port(const std::filesystem::path& bridge_file, std::uint16_t port,
                  std::chrono::milliseconds answer_limit, Checks& checks) {
  using platform::PeerOwner;
  std::string address = "127.0.0.1:" + std::to_string(port);
  if (auto link = connect_agent(bridge_file, LAUNCH_PROBE_DEADLINE)) {
    auto owner = platform::peer_owner(link->stream);
    bool known = owner && *owner == PeerOwner::Same;
    if (auto fault = hello_fault(*link, address, answer_limit)) {
      checks.push_back(std::move(*fault));
      return;
    }
    checks.push_back(
        {"agent", Verdict::Ok,
         "answers the hello at " + address +
             (known ? ", a program of this user" : " (the system does not say whose)")});
    return;
  }
  auto stream = platform::Socket::connect_loopback(port, CONNECT_TIMEOUT);
  auto owner = stream ? platform::peer_owner(*stream) : PeerOwner::Unknown;
  if (!owner) {
    checks.push_back({"agent", Verdict::Fail,
                      "cannot tell who listens on " + address + ": " + owner.error().display() +
                          ", so the host sends it nothing; stop that program and start the agent"});
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
    usable = walk_places(browser, around, expected, checks);
  }
  if (usable && usable->through_shell && !around.shell_disabled.empty()) {
    std::string mend = "have the administrator lift DisableCMD";
    if (!browser.launch_directly_key.empty())
      mend = "set the policy NativeHostsExecutablesLaunchDirectly to 1 at " +
             browser.launch_directly_key + ", or " + mend;
    fail(checks, browser,
         "starts hosts through cmd.exe, which the policy " + around.shell_disabled +
             " keeps from running, so no host starts; " + mend);
    usable.reset();
  }
  if (checks.size() == before)
    checks.push_back(
        {browser.name, Verdict::Info,
         "not registered (looked at " + places_list(browser) + ")" + elsewhere(browser, around)});
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

void examine_agent(const std::optional<std::filesystem::path>& bridge_file, Checks& checks,
                   std::chrono::milliseconds answer_limit) {
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
  examine_port(*bridge_file, record->port, answer_limit, checks);
}

bool examine_host_run(const UsableHost& usable, std::string_view browsers, bool agent_failed,
                      Checks& checks) {
  using namespace std::chrono_literals;
  std::string who = shown(usable.host) + " (for " + std::string(browsers) + ")";
  // The host gives the agent up to 8 s; a little more covers its start.
  auto run =
      system::run_host_once(usable.host, usable.origin,
                            {usable.through_shell, usable.script_fallback}, LINK_DEADLINE + 2s);
  if (!run) {
    checks.push_back({"host run", Verdict::Fail, who + ": " + run.error()});
    return false;
  }
  if (run->first_frame && std::ranges::equal(*run->first_frame, as_bytes(LINKED_NOTICE))) {
    checks.push_back({"host run", Verdict::Ok, who + " linked with the agent"});
    checks.push_back({"host run", Verdict::Info, std::string(AFTER_THE_LINK)});
    return true;
  }
  std::string line = run->error_stream.substr(0, run->error_stream.find('\n'));
  std::string said = line.empty() ? "" : ", saying \"" + line + "\"";
  std::string mend = agent_failed ? "; mend the agent as said above" : "; reinstall the host";
  std::string what;
  if (!run->output_fault.empty()) {
    what = run->output_fault;
    mend = "; make the program the browser starts write nothing but messages";
  } else if (run->first_frame) {
    std::string text(reinterpret_cast<const char*>(run->first_frame->data()),
                     std::min<std::size_t>(run->first_frame->size(), 80));
    what = "sent \"" + text + "\" instead of " + std::string(LINKED_NOTICE);
  } else if (!run->signal.empty()) {
    what = "was killed by " + run->signal;
  } else if (!run->crash.empty()) {
    what = "crashed (" + run->crash + ")";
  } else if (run->status) {
    what = "ended with status " + *run->status + " without linking";
  } else {
    what = "sent nothing within " + std::to_string((LINK_DEADLINE + 2s).count() / 1000) +
           " s, so the doctor stopped it";
  }
  checks.push_back({"host run", Verdict::Fail, who + " " + what + said + mend});
  return false;
}

Checks examine_all(const Expected& expected) {
  Checks checks;
  auto around = system::look_around(expected.host_name);
  // Each distinct host that an installed browser would start, with the browsers that name it.
  std::vector<std::pair<UsableHost, std::vector<std::string>>> hosts;
  std::vector<std::pair<std::string, std::size_t>> uses;  // a browser and its host's index
  for (const Browser& browser : around.browsers) {
    auto host = examine_browser(browser, around, expected, checks);
    if (!host || !browser.installed) continue;
    // A host that only /bin/sh can run is run once for the browsers that do so, once for the rest.
    auto same = std::ranges::find_if(hosts, [&](const auto& h) {
      return h.first.host == host->host && h.first.script_fallback == host->script_fallback;
    });
    uses.emplace_back(browser.name, static_cast<std::size_t>(same - hosts.begin()));
    if (same == hosts.end()) {
      hosts.push_back({std::move(*host), {browser.name}});
    } else {
      // Through the shell when any of them does: the stricter way.
      same->first.through_shell |= host->through_shell;
      same->second.push_back(browser.name);
    }
  }
  for (const auto& note : around.sandboxed) checks.push_back({"sandbox", Verdict::Info, note});
  if (hosts.empty())
    checks.push_back({"browsers", Verdict::Fail,
                      "no installed browser has a registration of the host that it can use; " +
                          std::string(system::register_step())});
  std::size_t before_agent = checks.size();
  examine_agent(bridge_file_path(), checks);
  bool agent_failed = exit_status(Checks(checks.begin() + static_cast<std::ptrdiff_t>(before_agent),
                                         checks.end())) != 0;
  std::size_t agent_checks_end = checks.size();
  std::vector<bool> linked;  // per host
  for (const auto& [host, names] : hosts) {
    std::string list;
    for (const auto& name : names) list += (list.empty() ? "" : ", ") + name;
    linked.push_back(examine_host_run(host, list, agent_failed, checks));
  }
  if (std::ranges::find(linked, true) != linked.end())
    slow_agent(std::span(checks).subspan(before_agent, agent_checks_end - before_agent));
  // One line per browser that says what it would make of the host: the lines above say why.
  for (const Browser& browser : around.browsers) {
    auto use = std::ranges::find(uses, browser.name, &decltype(uses)::value_type::first);
    bool works = use != uses.end() && linked[use->second];
    std::string verdict = !browser.installed ? std::string(NOT_INSTALLED)
                          : works            ? "can use the host"
                                             : "cannot use the host";
    checks.push_back({browser.name, Verdict::Info, verdict, true});
  }
  return checks;
}

}  // namespace velmora::doctor
