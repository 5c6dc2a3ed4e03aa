#include "manifest.h"

#include <algorithm>

#include "byte_stream.h"
#include "json/parse.h"

namespace velmora::doctor {

namespace {

using system::Family;

bool starts_with(std::span<const std::byte> bytes, std::string_view prefix) {
  return bytes.size() >= prefix.size() &&
         std::ranges::equal(bytes.first(prefix.size()), velmora::as_bytes(prefix));
}

// What must change in the encoding, or empty.
std::string encoding_fault(std::span<const std::byte> bytes) {
  if (starts_with(bytes, "\xFF\xFE") || starts_with(bytes, "\xFE\xFF"))
    return "it is UTF-16 text (as PowerShell's Out-File writes it); save it as UTF-8 without a "
           "byte-order mark";
  if (starts_with(bytes, "\xEF\xBB\xBF"))
    return "it starts with a byte-order mark (PowerShell writes one; Firefox then reports "
           "\"unexpected character at line 1 column 1\"); save it as UTF-8 without one";
  return {};
}

const std::string* string_member(const JsonValue& manifest, std::string_view key) {
  const JsonValue* value = get_key(manifest, key);
  return value ? value->as_string() : nullptr;
}

bool valid_chromium_id(std::string_view id) {
  return id.size() == 32 && std::ranges::all_of(id, [](char c) { return c >= 'a' && c <= 'p'; });
}

// A well-formed allowed origin is exactly chrome-extension://<id>/; a Firefox add-on ID is any
// non-empty text.
bool well_formed(Family family, std::string_view entry) {
  if (family == Family::Firefox) return !entry.empty();
  constexpr std::string_view scheme = "chrome-extension://";
  return entry.starts_with(scheme) && entry.ends_with('/') &&
         valid_chromium_id(entry.substr(scheme.size(), entry.size() - scheme.size() - 1));
}

void judge_allowed(const JsonValue& manifest, const ManifestRules& rules,
                   std::vector<std::string>& faults) {
  bool chromium = rules.family == Family::Chromium;
  std::string key = chromium ? "allowed_origins" : "allowed_extensions";
  std::string other = chromium ? "allowed_extensions" : "allowed_origins";
  const JsonValue* list = get_key(manifest, key);
  if (!list || !list->as_array()) {
    faults.push_back("it has no \"" + key + "\" list" +
                     (get_key(manifest, other) ? " (it is a manifest for the other browser "
                                                 "family, with \"" +
                                                     other + "\")"
                                               : ""));
    return;
  }
  for (const JsonValue& entry : *list->as_array()) {
    const std::string* text = entry.as_string();
    if (!text || !well_formed(rules.family, *text))
      faults.push_back("\"" + key + "\" holds " + serialize_compact(entry) +
                       (chromium ? ", not of the form \"chrome-extension://<32 letters a-p>/\""
                                 : ", not an add-on ID"));
  }
  for (const std::string& id : rules.extension_ids) {
    std::string wanted = origin_of(rules.family, id);
    if (std::ranges::find(*list->as_array(), JsonValue(wanted)) == list->as_array()->end())
      faults.push_back("\"" + key + "\" does not allow " + wanted + "; add it");
  }
}

std::optional<std::filesystem::path> judge_path(const std::filesystem::path& file,
                                                const JsonValue& manifest,
                                                const ManifestRules& rules,
                                                std::vector<std::string>& faults) {
  const std::string* text = string_member(manifest, "path");
  if (!text || text->empty()) {
    faults.push_back("it has no \"path\" naming the host");
    return std::nullopt;
  }
  auto path = std::filesystem::path(std::u8string(text->begin(), text->end()));
  if (path.is_absolute()) return path;
  if (!rules.relative_host_paths) {
    faults.push_back("its \"path\" \"" + *text +
                     "\" is relative; on this system it must be absolute");
    return std::nullopt;
  }
  return file.parent_path() / path;
}

}  // namespace

std::string origin_of(Family family, std::string_view extension_id) {
  if (family == Family::Firefox) return std::string(extension_id);
  return "chrome-extension://" + std::string(extension_id) + "/";
}

ManifestVerdict judge_manifest(const std::filesystem::path& file, std::span<const std::byte> bytes,
                               const ManifestRules& rules) {
  ManifestVerdict verdict;
  if (auto fault = encoding_fault(bytes); !fault.empty()) {
    verdict.faults.push_back(std::move(fault));
    return verdict;
  }
  auto manifest = parse_message(bytes);
  if (!manifest || !manifest->is_object()) {
    verdict.faults.push_back("it is not a JSON object" +
                             (manifest ? std::string() : " (" + manifest.error().display() + ")"));
    return verdict;
  }
  const std::string* name = string_member(*manifest, "name");
  if (!name || *name != rules.host_name)
    verdict.faults.push_back("its \"name\" is " +
                             (name ? "\"" + *name + "\"" : std::string("missing")) + ", not \"" +
                             std::string(rules.host_name) + "\"");
  const std::string* description = string_member(*manifest, "description");
  if (!description || description->empty())
    verdict.faults.push_back("it has no \"description\", which the browsers require");
  const std::string* type = string_member(*manifest, "type");
  if (!type || *type != "stdio") verdict.faults.push_back("its \"type\" is not \"stdio\"");
  verdict.host = judge_path(file, *manifest, rules, verdict.faults);
  judge_allowed(*manifest, rules, verdict.faults);
  return verdict;
}

}  // namespace velmora::doctor
