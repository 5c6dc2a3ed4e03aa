// Where this user's registration goes: each browser's per-user folder, as the browser finds it
// from HOME and XDG_CONFIG_HOME, and the record of what was written, below XDG_STATE_HOME.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "browser_table.h"

namespace velmora::registrar {

namespace fs = std::filesystem;

struct UserFolders {
  fs::path home;
  fs::path config;  // $XDG_CONFIG_HOME when absolute, else ~/.config
  fs::path state;   // $XDG_STATE_HOME when absolute, else ~/.local/state
  bool config_given = false;
  bool state_given = false;
};

// Refuses a HOME that is not absolute, and control characters in any of the three, which the
// record (a path a line) cannot hold.
std::expected<UserFolders, std::string> user_folders();

// The row's per-user folder; nothing for one inside the browser's own bundle.
std::optional<fs::path> user_folder(const registration::TableRow& row, const UserFolders& user);

// The folders that hold what the registrar writes (each browser's per-user folder, or the
// record's), each with the folders above it that the registrar may have created there: those
// below HOME, or from XDG_CONFIG_HOME or XDG_STATE_HOME down, never HOME or one above it.
struct Made {
  fs::path folder;
  std::vector<fs::path> creatable;  // outermost first, the folder itself last
};
Made made_for(const fs::path& folder, const UserFolders& user);
std::vector<Made> every_folder(const UserFolders& user);

fs::path record_file(const UserFolders& user);

// "chrome, chrome-beta, …": the names --browser takes.
std::string browser_ids();

// What to do for a browser whose folder is inside its own bundle.
std::string bundle_note(const registration::TableRow& row);

}  // namespace velmora::registrar
