#include "verdict.h"

#include <algorithm>

#include "bridge_and_agent.h"
#include "bridge_file.h"
#include "host_run_check.h"
#include "registrations.h"
#include "system/browsers.h"

namespace velmora::doctor {

Checks examine_all(const Expected& expected) {
  Checks checks;
  auto facts = system::find_browsers(expected.host_name);
  // Each distinct host that an installed browser would start, with the browsers that name it.
  std::vector<std::pair<UsableHost, std::vector<std::string>>> hosts;
  std::vector<std::pair<std::string, std::size_t>> uses;  // a browser and its host's index
  for (const system::Browser& browser : facts.browsers) {
    auto host = examine_browser(browser, facts, expected, checks);
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
  for (const auto& install : facts.sandboxed)
    checks.push_back({"sandbox", Verdict::Info, sandbox_note(install)});
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
  for (const system::Browser& browser : facts.browsers) {
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
