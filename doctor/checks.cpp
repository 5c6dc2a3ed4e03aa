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

}  // namespace

int exit_status(const Checks& checks) {
  bool failed =
      std::ranges::any_of(checks, [](const Check& c) { return c.verdict == Verdict::Fail; });
  return failed ? 1 : 0;
}

std::string as_text(const Checks& checks) {
  std::string text;
  for (const Check& check : checks) {
    std::string word = check.verdict == Verdict::Fail ? "FAIL" : verdict_word(check.verdict);
    word.resize(5, ' ');
    text += word + check.subject + ": " + check.text + "\n";
  }
  return text;
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
