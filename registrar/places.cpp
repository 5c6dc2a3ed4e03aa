#include "places.h"

#include <algorithm>
#include <cstdlib>

#include "product.h"

namespace velmora::registrar {

namespace {

using registration::BROWSER_TABLE;
using registration::TableRow;

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// Without a trailing "/", so that the folders compare equal however the variable ends.
fs::path plain(std::string text) {
  while (text.size() > 1 && text.ends_with('/')) text.pop_back();
  return text;
}

bool control_characters(std::string_view text) {
  return std::ranges::any_of(text, [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

}  // namespace

std::expected<UserFolders, std::string> user_folders() {
  auto home = variable("HOME").value_or("");
  auto config = variable("XDG_CONFIG_HOME").value_or("");
  auto state = variable("XDG_STATE_HOME").value_or("");
  if (!home.starts_with('/')) return std::unexpected("HOME is not an absolute path");
  if (control_characters(home + config + state))
    return std::unexpected("control characters in HOME, XDG_CONFIG_HOME or XDG_STATE_HOME");
  // The browsers take XDG_CONFIG_HOME only when it is absolute, as the XDG rules say.
  UserFolders user{plain(home), plain(home) / ".config", plain(home) / ".local/state"};
  if (config.starts_with('/')) user.config = plain(config), user.config_given = true;
  if (state.starts_with('/')) user.state = plain(state), user.state_given = true;
  return user;
}

std::optional<fs::path> user_folder(const TableRow& row, const UserFolders& user) {
  auto slash = row.user.find('/');
  auto root = row.user.substr(0, slash);
  auto rest = fs::path(row.user.substr(slash + 1));
  if (root == "config") return user.config / rest;
  if (root == "home") return user.home / rest;
  return std::nullopt;
}

Made made_for(const fs::path& folder, const UserFolders& user) {
  auto within = [](const fs::path& top, const fs::path& path) {
    auto [end, _] = std::ranges::mismatch(top, path);
    return end == top.end();
  };
  // Nothing above the top is ever created, so nothing above it is ever removed; HOME and the
  // folders above it never are, whatever the XDG variables say.
  fs::path top = user.config_given && within(user.config, folder) ? user.config
                 : user.state_given && within(user.state, folder) ? user.state
                                                                  : user.home;
  Made made{folder, {}};
  for (fs::path at = folder; at != at.parent_path() && !within(at, user.home);
       at = at.parent_path()) {
    made.creatable.insert(made.creatable.begin(), at);
    if (at == top) break;
  }
  return made;
}

fs::path record_file(const UserFolders& user) {
  return user.state / "velmora-web-host" / "registered";
}

std::vector<Made> every_folder(const UserFolders& user) {
  std::vector<Made> folders{made_for(record_file(user).parent_path(), user)};
  for (const TableRow& row : BROWSER_TABLE) {
    if (auto folder = user_folder(row, user)) folders.push_back(made_for(*folder, user));
  }
  return folders;
}

std::string browser_ids() {
  std::string list;
  for (const TableRow& row : BROWSER_TABLE)
    list += (list.empty() ? "" : ", ") + std::string(row.id);
  return list;
}

std::string bundle_note(const TableRow& row) {
  // The first browser of its family that can be registered for, whose manifest it takes.
  auto kin = std::ranges::find_if(BROWSER_TABLE, [&](const TableRow& other) {
    return other.family == row.family && !other.user.starts_with("bundle/");
  });
  return std::string(row.name) + " keeps its manifest folder inside its own bundle: " +
         std::string(row.user.substr(row.user.find('/') + 1)) +
         " below the folder it was unpacked in; register for " + std::string(kin->name) +
         " (--browser " + std::string(kin->id) +
         ") and copy the manifest it writes into that folder";
}

}  // namespace velmora::registrar
