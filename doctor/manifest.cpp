#include "manifest.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <nlohmann/json.hpp>
#include <spanstream>

#include "browser_rules.h"
#include "byte_stream.h"

namespace velmora::doctor {

namespace {

using Json = nlohmann::json;
using system::Family;

bool starts_with(std::span<const std::byte> bytes, std::string_view prefix) {
  return bytes.size() >= prefix.size() &&
         std::ranges::equal(bytes.first(prefix.size()), velmora::as_bytes(prefix));
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

// '*' matches any run of characters, as in a URL pattern's path.
bool glob_matches(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return text.empty();
  if (pattern.front() == '*')
    return glob_matches(pattern.substr(1), text) ||
           (!text.empty() && glob_matches(pattern, text.substr(1)));
  return !text.empty() && pattern.front() == text.front() &&
         glob_matches(pattern.substr(1), text.substr(1));
}

// Chromium reads each allowed origin as a URL pattern of the chrome-extension scheme, and refuses
// a wildcard host (native_messaging_host_manifest.cc); the host compares without case and the path
// is a pattern (seen: chrome-extension://<ID>/* and an ID in capitals link).
struct OriginPattern {
  std::string host, path;
};

std::optional<OriginPattern> origin_pattern(std::string_view entry) {
  constexpr std::string_view scheme = "chrome-extension://";
  if (!entry.starts_with(scheme)) return std::nullopt;
  entry.remove_prefix(scheme.size());
  auto slash = entry.find('/');
  if (slash == 0 || slash == std::string_view::npos) return std::nullopt;
  auto host = entry.substr(0, slash);
  bool plain = std::ranges::all_of(
      host, [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.'; });
  if (!plain) return std::nullopt;
  return OriginPattern{lower(host), std::string(entry.substr(slash))};
}

bool allows(Family family, const std::string& entry, std::string_view id) {
  if (family == Family::Firefox) return entry == id;
  auto pattern = origin_pattern(entry);
  return pattern && pattern->host == lower(id) && glob_matches(pattern->path, "/");
}

std::string entry_fault(Family family, const Json& entry) {
  const std::string* text = entry.get_ptr<const std::string*>();
  if (family == Family::Firefox) {
    if (text && registration::firefox_extension_id(*text)) return {};
    return "holds " + entry.dump() + ", which is not an add-on ID (name@domain or {GUID}); " +
           "remove it";
  }
  if (text && origin_pattern(*text)) return {};
  return "holds " + entry.dump() +
         ", which Chromium cannot read as chrome-extension://<ID>/ (a wildcard or a missing "
         "\"/\" counts); write it so or remove it";
}

void judge_allowed(const Json& manifest, const ManifestRules& rules,
                   std::vector<std::string>& faults) {
  std::string key(rules_of(rules.family).list_key);
  auto list = manifest.find(key);
  if (list == manifest.end() || !list->is_array()) {
    faults.push_back("it has no \"" + key + "\" list; add one with " +
                     origin_of(rules.family, rules.extension_ids.empty()
                                                 ? std::string_view("<ID>")
                                                 : rules.extension_ids.front()));
    return;
  }
  for (const Json& entry : *list) {
    if (auto fault = entry_fault(rules.family, entry); !fault.empty())
      faults.push_back("\"" + key + "\" " + fault);
  }
  for (const std::string& id : rules.extension_ids) {
    bool allowed = std::ranges::any_of(*list, [&](const Json& entry) {
      return entry.is_string() && allows(rules.family, entry.get<std::string>(), id);
    });
    if (!allowed)
      faults.push_back("\"" + key + "\" does not allow " + origin_of(rules.family, id) +
                       "; add it");
  }
}

const std::string* string_member(const Json& manifest, const char* key) {
  auto found = manifest.find(key);
  return found == manifest.end() ? nullptr : found->get_ptr<const std::string*>();
}

std::optional<std::filesystem::path> judge_path(const std::filesystem::path& file,
                                                const Json& manifest, const ManifestRules& rules,
                                                std::vector<std::string>& faults) {
  const std::string* text = string_member(manifest, "path");
  if (!text || text->empty()) {
    faults.push_back("it has no \"path\"; add the host's absolute path");
    return std::nullopt;
  }
  auto path = std::filesystem::path(std::u8string(text->begin(), text->end()));
  if (path.is_absolute()) return path;
  if (!rules.relative_host_paths) {
    faults.push_back("its \"path\" \"" + *text + "\" is relative; make it absolute");
    return std::nullopt;
  }
  return file.parent_path() / path;
}

void judge_fields(const Json& manifest, const ManifestRules& rules,
                  std::vector<std::string>& faults) {
  const FamilyRules& family = rules_of(rules.family);
  const std::string* name = string_member(manifest, "name");
  if (!name || *name != rules.host_name)
    faults.push_back("its \"name\" is " + (name ? "\"" + *name + "\"" : std::string("missing")) +
                     "; set it to \"" + std::string(rules.host_name) + "\"");
  const std::string* description = string_member(manifest, "description");
  if (!description || (description->empty() && !family.empty_description))
    faults.push_back("its \"description\" is missing or empty; give it a text");
  const std::string* type = string_member(manifest, "type");
  if (!type || *type != "stdio") faults.push_back("its \"type\" is not \"stdio\"; set it so");
  if (family.unknown_keys) return;
  for (const auto& [key, value] : manifest.items()) {
    constexpr std::string_view known[] = {"name", "description", "path", "type"};
    if (key != family.list_key && std::ranges::find(known, key) == std::end(known))
      faults.push_back("it has the key \"" + key + "\", which this browser refuses; remove it");
  }
}

}  // namespace

ManifestVerdict judge_manifest(const std::filesystem::path& file, std::istream& text,
                               const ManifestRules& rules) {
  const FamilyRules& family = rules_of(rules.family);
  ManifestVerdict verdict;
  std::array<char, 3> head{};
  text.read(head.data(), head.size());
  auto start = std::as_bytes(std::span(head).first(static_cast<std::size_t>(text.gcount())));
  if (starts_with(start, "\xFF\xFE") || starts_with(start, "\xFE\xFF")) {
    verdict.faults.push_back(
        "it is UTF-16 text (as PowerShell's Out-File writes it); save it as UTF-8");
    return verdict;
  }
  bool mark = family.byte_order_mark && starts_with(start, "\xEF\xBB\xBF");
  text.clear();
  text.seekg(mark ? 3 : 0);
  Json manifest = Json::parse(text, nullptr, false, family.comments);
  if (!manifest.is_object()) {
    std::string why =
        manifest.is_discarded() ? (family.comments ? "" : " (comments count as errors here)") : "";
    verdict.faults.push_back("it is not a JSON object" + why + "; " +
                             std::string(system::register_step()));
    return verdict;
  }
  judge_fields(manifest, rules, verdict.faults);
  verdict.host = judge_path(file, manifest, rules, verdict.faults);
  judge_allowed(manifest, rules, verdict.faults);
  return verdict;
}

ManifestVerdict judge_manifest(const std::filesystem::path& file, std::span<const std::byte> bytes,
                               const ManifestRules& rules) {
  std::ispanstream text(std::span(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  return judge_manifest(file, text, rules);
}

}  // namespace velmora::doctor
