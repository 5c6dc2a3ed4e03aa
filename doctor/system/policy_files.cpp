#include "system/policy_files.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/files.h"

namespace velmora::doctor::system {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// Far above any policy file; a larger one is skipped.
constexpr std::size_t POLICY_FILE_LIMIT = 1 << 20;

// Where a comment that starts at `at` ends, or `at` when none starts there.
std::size_t after_comment(std::string_view text, std::size_t at) {
  if (text.substr(at, 2) == "//") {
    auto end = text.find('\n', at);
    return end == std::string_view::npos ? text.size() : end;
  }
  if (text.substr(at, 2) == "/*") {
    auto end = text.find("*/", at + 2);
    return end == std::string_view::npos ? text.size() : end + 2;
  }
  return at;
}

// The next character after blanks and comments from `at`, or nothing at the end.
std::optional<char> next_token(std::string_view text, std::size_t at) {
  while (at < text.size()) {
    if (std::string_view(" \t\r\n").find(text[at]) != std::string_view::npos) {
      ++at;
    } else if (auto end = after_comment(text, at); end != at) {
      at = end;
    } else {
      return text[at];
    }
  }
  return std::nullopt;
}

std::vector<std::string> strings_of(const Json& value) {
  std::vector<std::string> list;
  if (!value.is_array()) return list;
  for (const Json& item : value)
    if (item.is_string()) list.push_back(item.get<std::string>());
  return list;
}

std::optional<Json> policy_document(const fs::path& file) {
  auto bytes = platform::read_whole_file(file, POLICY_FILE_LIMIT);
  if (!bytes) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  Json document = Json::parse(without_trailing_commas(text), nullptr, false, true);
  if (!document.is_object()) return std::nullopt;  // Chromium skips the file
  return document;
}

}  // namespace

std::string without_trailing_commas(std::string_view text) {
  std::string out(text);
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '"') {
      // A string ends at the next quote that no backslash escapes.
      while (++at < text.size() && text[at] != '"')
        if (text[at] == '\\') ++at;
    } else if (auto end = after_comment(text, at); end != at) {
      at = end - 1;
    } else if (text[at] == ',') {
      auto next = next_token(text, at + 1);
      if (next == ']' || next == '}') out[at] = ' ';
    }
  }
  return out;
}

// Chromium's ConfigDirPolicyLoader (config_dir_policy_loader.cc) reads every file of the folder,
// whatever its name, in name order, and the last file that sets a policy gives it whole. It
// parses with JSON_PARSE_RFC, trailing commas and comments allowed. Seen here with Chromium 156:
// a block in "velmora-2.json.disabled", or in a file with a trailing comma, or with a "//"
// comment, is applied; of two files that set the blocklist (or the allowlist), the later one's
// list alone counts; a block in policies/recommended/ is not applied, so that folder is not read
// (Chromium takes these policies only as mandatory).
std::vector<Policy> chromium_policies(const fs::path& managed) {
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(managed, error))
    if (entry.is_regular_file(error)) files.push_back(entry.path());
  std::ranges::sort(files);
  std::optional<Policy> blocklist, allowlist, level;
  for (const fs::path& file : files) {
    auto document = policy_document(file);
    if (!document) continue;
    std::string shown = platform::display_path(file);
    if (auto found = document->find("NativeMessagingBlocklist"); found != document->end())
      blocklist = Policy{shown, std::nullopt, strings_of(*found), {}, std::nullopt};
    if (auto found = document->find("NativeMessagingAllowlist"); found != document->end())
      allowlist = Policy{shown, std::nullopt, {}, strings_of(*found), std::nullopt};
    if (auto found = document->find("NativeMessagingUserLevelHosts"); found != document->end())
      level = Policy{shown,
                     found->is_boolean() ? std::optional(found->get<bool>()) : std::nullopt,
                     {},
                     {},
                     std::nullopt};
  }
  std::vector<Policy> policies;
  for (auto& policy : {blocklist, allowlist, level})
    if (policy) policies.push_back(*policy);
  return policies;
}

}  // namespace velmora::doctor::system
