#include "extension_ids.h"

#include <algorithm>
#include <regex>

namespace velmora::registration {

bool chromium_extension_id(std::string_view id) {
  return id.size() == 32 && std::ranges::all_of(id, [](char c) { return c >= 'a' && c <= 'p'; });
}

bool firefox_extension_id(std::string_view id) {
  static const std::regex form(
      R"(^\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}$|^[a-z0-9-._]*@[a-z0-9-._]+$)",
      std::regex::icase);
  return std::regex_search(id.begin(), id.end(), form);
}

bool extension_id(Family family, std::string_view id) {
  return family == Family::Firefox ? firefox_extension_id(id) : chromium_extension_id(id);
}

std::string id_refusal(Family family, std::string_view id) {
  if (extension_id(family, id)) return {};
  return std::string("not a ") + (family == Family::Chromium ? "Chromium" : "Firefox") +
         " extension ID: '" + std::string(id) + "'";
}

std::string origin_of(Family family, std::string_view extension_id) {
  if (family == Family::Firefox) return std::string(extension_id);
  return "chrome-extension://" + std::string(extension_id) + "/";
}

}  // namespace velmora::registration
