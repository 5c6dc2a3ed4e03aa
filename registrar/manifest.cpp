#include "manifest.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

#include "byte_stream.h"
#include "extension_ids.h"
#include "json/parse.h"
#include "json/value.h"
#include "platform/files.h"
#include "product.h"

namespace velmora::registrar {

namespace {

using registration::Family;

std::string_view list_key(Family family) {
  return family == Family::Firefox ? "allowed_extensions" : "allowed_origins";
}

// The script's own escaping: only backslashes and quotes, as std::quoted does.
std::string script_string(std::string_view text) {
  std::ostringstream out;
  out << std::quoted(text);
  return std::move(out).str();
}

}  // namespace

std::expected<void, std::string> writable_host_path(const std::filesystem::path& host) {
  const std::string& text = host.native();
  if (platform::display_path(host) != text)
    return std::unexpected("the host's path is not UTF-8, which a manifest (JSON) cannot hold: '" +
                           platform::display_path(host) + "'");
  if (std::ranges::any_of(text, [](unsigned char c) { return c < 0x20 || c == 0x7F; }))
    return std::unexpected("control characters in the host's path");
  return {};
}

std::string manifest_text(Family family, const std::filesystem::path& host,
                          std::span<const std::string> ids) {
  if (ids.empty()) return {};
  JsonArray allowed;
  for (const auto& id : ids) allowed.emplace_back(registration::origin_of(family, id));
  // The members in the order a reader expects them, each by the library's writer.
  std::pair<std::string_view, JsonValue> members[] = {
      {"name", std::string(product::HOST_NAME)},
      {"description", std::string(DESCRIPTION)},
      {"path", host.string()},
      {"type", "stdio"},
      {list_key(family), std::move(allowed)},
  };
  std::string text = "{\n";
  for (const auto& [key, value] : members) {
    text += "  " + serialize_compact(std::string(key)) + ": " + serialize_compact(value);
    text += key == list_key(family) ? "\n" : ",\n";
  }
  return text + "}\n";
}

bool written_by_the_script(std::string_view bytes, std::string_view host_name) {
  auto document = parse_message(velmora::as_bytes(bytes));
  if (!document) return false;
  const JsonValue* path = get_key(*document, "path");
  if (!path || !path->as_string()) return false;
  for (Family family : {Family::Chromium, Family::Firefox}) {
    const JsonValue* list = get_key(*document, list_key(family));
    if (!list || !list->as_array()) continue;
    std::string items;
    for (const auto& item : *list->as_array()) {
      if (!item.as_string()) return false;
      items += (items.empty() ? "" : ", ") + script_string(*item.as_string());
    }
    std::string text = "{\n  \"name\": \"" + std::string(host_name) +
                       "\",\n  \"description\": " + script_string(DESCRIPTION) +
                       ",\n  \"path\": " + script_string(*path->as_string()) +
                       ",\n  \"type\": \"stdio\",\n  \"" + std::string(list_key(family)) + "\": [" +
                       items + "]\n}\n";
    if (text == bytes) return true;
  }
  return false;
}

}  // namespace velmora::registrar
