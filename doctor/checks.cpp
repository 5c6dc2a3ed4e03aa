#include "checks.h"

#include <algorithm>

#include "json/value.h"

namespace velmora::doctor {

namespace {

const char* verdict_word(Verdict verdict) {
  switch (verdict) {
    case Verdict::Ok:
      return "ok";
    case Verdict::Info:
      return "info";
    case Verdict::Fail:
      break;
  }
  return "fail";
}

// "ok   ", "info " or "FAIL ", then the subject when asked, and the text.
std::string line_of(const Check& check, bool subject) {
  std::string word = check.verdict == Verdict::Fail ? "FAIL" : verdict_word(check.verdict);
  word.resize(5, ' ');
  return word + (subject ? check.subject + ": " : "") + check.text + "\n";
}

}  // namespace

int exit_status(const Checks& checks) {
  bool failed =
      std::ranges::any_of(checks, [](const Check& c) { return c.verdict == Verdict::Fail; });
  return failed ? 1 : 0;
}

std::string as_text(const Checks& checks) {
  std::string text;
  for (const Check& check : checks) text += line_of(check, true);
  return text;
}

std::string as_report(const Checks& checks) {
  std::vector<const Check*> browsers;
  std::string absent;
  for (const Check& check : checks) {
    if (!check.browser_verdict) continue;
    if (check.text == NOT_INSTALLED)
      absent += (absent.empty() ? "" : ", ") + check.subject;
    else
      browsers.push_back(&check);
  }
  auto browser = [&](const Check& check) {
    return std::ranges::any_of(checks, [&](const Check& verdict) {
      return verdict.browser_verdict && verdict.subject == check.subject;
    });
  };
  std::string text = absent.empty() ? "" : "not installed: " + absent + "\n";
  for (const Check* verdict : browsers) {
    text += verdict->subject + ": " + verdict->text + "\n";
    for (const Check& check : checks) {
      if (check.subject == verdict->subject && !check.browser_verdict)
        text += "  " + line_of(check, false);
    }
  }
  for (const Check& check : checks) {
    if (!browser(check)) text += line_of(check, true);
  }
  auto failed = std::ranges::count(checks, Verdict::Fail, &Check::verdict);
  auto first = std::ranges::find(checks, Verdict::Fail, &Check::verdict);
  if (failed == 0) return text + "no problems\n";
  return text + std::to_string(failed) + (failed == 1 ? " problem" : " problems") +
         "; first step: " + first->subject + ": " + first->text + "\n";
}

std::string as_json(const Checks& checks) {
  JsonArray items;
  for (const Check& check : checks) {
    items.emplace_back(JsonObject({{"subject", check.subject},
                                   {"verdict", verdict_word(check.verdict)},
                                   {"text", check.text}}));
  }
  JsonObject document({{"checks", std::move(items)}, {"status", exit_status(checks)}});
  return serialize_compact(document) + "\n";
}

}  // namespace velmora::doctor
