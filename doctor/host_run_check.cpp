#include "host_run_check.h"

#include <algorithm>

#include "host/messages.h"
#include "host/timings.h"
#include "platform/files.h"
#include "system/host_run.h"

namespace velmora::doctor {

namespace {

// What to look at when the port closes only later, which this one run cannot show.
constexpr std::string_view AFTER_THE_LINK =
    "if the extension's port still closes after the link (\"Native host has exited\"), look at "
    "the sizes of the agent's messages: Chrome and Firefox close the port on any message from "
    "the host larger than 1 MiB (1048576 bytes), so the agent must keep each message to the "
    "extension within that";

}  // namespace

bool examine_host_run(const UsableHost& usable, std::string_view browsers, bool agent_failed,
                      Checks& checks) {
  using namespace std::chrono_literals;
  std::string who = platform::display_path(usable.host) + " (for " + std::string(browsers) + ")";
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

}  // namespace velmora::doctor
