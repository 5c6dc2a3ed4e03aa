// Linux: where each browser of the browser table (browser_table.h, from
// packaging/browsers.tsv) looks for the host's manifest, what is there, its managed policies,
// and the sandboxed installs that reach hosts in their own way.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "browser_rules.h"
#include "browser_table.h"
#include "installed.h"
#include "platform/files.h"
#include "policy_files.h"
#include "system/browsers.h"

namespace velmora::doctor::system {

namespace {

namespace fs = std::filesystem;
using registration::items;
using registration::TableRow;

std::string text(const fs::path& path) {
  return platform::display_path(path);
}

// The Firefox family keeps its folders in HOME itself; without one there is no per-user place,
// as there is no configuration folder (platform::roaming_app_data_folder) without HOME.
std::optional<fs::path> home_folder() {
  const char* value = std::getenv("HOME");
  if (value == nullptr || value[0] == '\0') return std::nullopt;
  return fs::path(value);
}

bool present(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

Place place_in(const fs::path& folder, std::string_view host_name, bool user_level) {
  fs::path file = folder / (std::string(host_name) + ".json");
  Place place{text(file), user_level, std::nullopt, {}, {}};
  if (present(file)) place.manifest = file;
  return place;
}

// The per-user place: below the configuration folder (config/) or HOME (home/). A folder inside
// the browser's own bundle (bundle/) cannot be found from outside, so the doctor says so.
Place user_place(const TableRow& row, std::string_view host_name) {
  auto slash = row.user.find('/');
  auto root = row.user.substr(0, slash);
  auto rest = fs::path(row.user.substr(slash + 1));
  if (root == "bundle")
    return {rest.string() + " inside " + std::string(row.name) + "'s own bundle",
            true,
            {},
            {},
            std::string(rules_of(row.family).bundled)};
  auto base = root == "config" ? platform::roaming_app_data_folder() : home_folder();
  // Without HOME there is no per-user place: the line says so rather than list nothing.
  if (!base) return {"no per-user folder (HOME is not set)", true, {}, {}, {}};
  return place_in(*base / rest, host_name, true);
}

Browser browser_of(const TableRow& row, std::string_view host_name) {
  Browser browser{
      std::string(row.name), row.family, registration::installed(row), {}, {}, false, {}};
  browser.places.push_back(user_place(row, host_name));
  for (std::string_view folder : items(row.system))
    browser.places.push_back(place_in(folder, host_name, false));
  if (!row.policies.empty()) browser.policies = chromium_policies(fs::path(row.policies));
  return browser;
}

// Sandboxed installs read their own copies of these folders, or reach hosts in their family's
// own way.
void note_sandboxed(const TableRow& row, std::vector<std::string>& notes) {
  const FamilyRules& rules = rules_of(row.family);
  std::string name(row.name);
  std::vector<fs::path> roots{"/var/lib/flatpak/app"};
  if (auto home = home_folder()) roots.push_back(*home / ".local/share/flatpak/app");
  for (const fs::path& root : roots) {
    if (!row.flatpak.empty() && present(root / row.flatpak))
      notes.push_back(name + " is installed as the Flatpak " + std::string(row.flatpak) + ", " +
                      std::string(rules.flatpak));
  }
  if (!row.snap.empty() && present(fs::path("/snap") / row.snap))
    notes.push_back(name + " is installed as a snap, " + std::string(rules.snap));
}

}  // namespace

Surroundings look_around(std::string_view host_name) {
  Surroundings around;
  for (const TableRow& row : registration::BROWSER_TABLE) {
    around.browsers.push_back(browser_of(row, host_name));
    note_sandboxed(row, around.sandboxed);
  }
  return around;
}

std::string_view register_step() {
  return "register the host again (velmora-register-host install)";
}

bool runnable(const fs::path& path) {
  return registration::runnable(path);
}

std::optional<bool> owned_by_current_user(const fs::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_uid == geteuid();
}

}  // namespace velmora::doctor::system
