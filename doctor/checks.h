// doctor/: velmora-doctor, the second program that tells a user why the extension cannot reach
// the agent (the host itself stays silent). This header: one check's outcome, and the whole
// report as text lines or one JSON document.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::doctor {

enum class Verdict { Ok, Info, Fail };

struct Check {
  std::string subject;  // a browser, "bridge file", "agent", "host run"
  Verdict verdict;
  std::string text;  // what holds, or the cause with the key, file or path and what to do
  // The last line of a browser: whether it can use the host, or that it is not installed.
  bool browser_verdict = false;
};

using Checks = std::vector<Check>;

// The verdict of a browser whose program is not there.
inline constexpr std::string_view NOT_INSTALLED = "is not installed";

// 0 when nothing failed, else 1.
int exit_status(const Checks& checks);
// One line per check: "ok   ", "info ", "FAIL " with the subject.
std::string as_text(const Checks& checks);
// For a person: one line for the browsers not installed; each installed browser's verdict, then
// its checks; the other checks; and a last line that counts the failures and names the first.
std::string as_report(const Checks& checks);
// {"checks":[{"subject":…,"text":…,"verdict":"ok"|"info"|"fail"}…],"status":0|1}
std::string as_json(const Checks& checks);

}  // namespace velmora::doctor
