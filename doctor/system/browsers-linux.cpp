// Linux: where each browser of the browser table (browser_table.h, from
// packaging/browsers.tsv) looks for the host's manifest, what is there, its managed policies,
// and the sandboxed installs that reach hosts in their own way.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "browser_table.h"
#include "installed.h"
#include "platform/files.h"
#include "system/browsers.h"
#include "system/policy_files.h"

namespace velmora::doctor::system {

namespace {

namespace fs = std::filesystem;
using registration::items;

// Firefox reads ~/.mozilla/native-messaging-hosts even where XDG_CONFIG_HOME is set, and not
// $XDG_CONFIG_HOME/mozilla/native-messaging-hosts (seen: a manifest only there does not link with
// Firefox ESR 153): a manifest there is a registration that Firefox cannot use.
constexpr std::string_view FIREFOX_USER_FOLDER = ".mozilla/native-messaging-hosts";
constexpr std::string_view FIREFOX_UNREAD_CONFIG_FOLDER = "mozilla/native-messaging-hosts";
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
            {},
            true};
  auto base = root == "config" ? platform::roaming_app_data_folder() : home_folder();
  // Without HOME there is no per-user place: the line says so rather than list nothing.
  if (!base) return {"no per-user folder (HOME is not set)", true, {}, {}, {}};
  return place_in(*base / rest, host_name, true);
}

// A manifest in a folder the browser does not read is a registration it cannot use.
void unread_place(Browser& browser, const fs::path& folder, std::string_view host_name,
                  bool user_level, const std::string& why) {
  Place place = place_in(folder, host_name, user_level);
  if (!place.manifest) return;
  place.fault =
      browser.name + " does not read this folder (" + why + "); " + std::string(register_step());
  browser.places.push_back(std::move(place));
}

// The most the doctor reads of a browser's library; Firefox's libxul.so is about 180 MiB.
constexpr std::size_t LIBRARY_READ_LIMIT = std::size_t{512} << 20;

// Whether the file holds each of `needles`, read a chunk at a time up to LIBRARY_READ_LIMIT.
std::vector<bool> holds(const fs::path& file, const std::vector<std::string>& needles) {
  std::vector<bool> found(needles.size(), false);
  std::ifstream in(file, std::ios::binary);
  std::size_t overlap = 0;
  for (const auto& needle : needles) overlap = std::max(overlap, needle.size());
  std::string window;
  std::vector<char> chunk(1 << 20);
  for (std::size_t total = 0; in && total < LIBRARY_READ_LIMIT; total += chunk.size()) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    window.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    for (std::size_t i = 0; i < needles.size(); ++i)
      found[i] = found[i] || window.find(needles[i]) != std::string::npos;
    window.erase(0, window.size() > overlap ? window.size() - overlap : 0);
  }
  return found;
}

// Which of the table's machine-wide folders the installed Firefox build reads: its libxul.so
// holds the folder above them as a string ("/usr/lib/mozilla" on Debian, "/usr/lib64/mozilla"
// where the build chose lib64: nsXREDirProvider.cpp, GetSystemParentDirectory; seen here: Debian's
// Firefox ESR 153 holds only "/usr/lib/mozilla" and does not read /usr/lib64/mozilla). Nothing
// when the library is not found or names none of them: the table's list then stands.
std::optional<std::vector<std::string_view>> folders_of_build(const TableRow& row) {
  std::vector<fs::path> programs;
  if (auto found = registration::installed_program(row)) programs.push_back(*found);
  for (std::string_view program : items(row.programs))
    if (program.front() == '/') programs.emplace_back(program);
  std::vector<std::string_view> folders;
  std::ranges::copy(items(row.system), std::back_inserter(folders));
  std::vector<std::string> needles;
  for (std::string_view folder : folders)
    needles.push_back('\0' + fs::path(folder).parent_path().string() + '\0');
  for (const fs::path& program : programs) {
    std::error_code error;
    auto library = fs::canonical(program, error).parent_path() / "libxul.so";
    if (error || !fs::is_regular_file(library, error)) continue;
    auto found = holds(library, needles);
    std::vector<std::string_view> read;
    for (std::size_t i = 0; i < folders.size(); ++i)
      if (found[i]) read.push_back(folders[i]);
    if (!read.empty()) return read;
  }
  return std::nullopt;
}

Browser browser_of(const TableRow& row, std::string_view host_name) {
  Browser browser{
      std::string(row.name), row.family, registration::installed(row), {}, {}, false, {}};
  browser.places.push_back(user_place(row, host_name));
  auto read = row.family == Family::Firefox ? folders_of_build(row) : std::nullopt;
  for (std::string_view folder : items(row.system)) {
    if (!read || std::ranges::find(*read, folder) != read->end())
      browser.places.push_back(place_in(folder, host_name, false));
  }
  for (std::string_view folder : items(row.system)) {
    if (read && std::ranges::find(*read, folder) == read->end())
      unread_place(browser, folder, host_name, false,
                   "this build reads " + std::string(read->front()) + ", as its libxul.so says");
  }
  auto config = platform::roaming_app_data_folder();
  if (row.user == "home/" + std::string(FIREFOX_USER_FOLDER) && config)
    unread_place(
        browser, *config / FIREFOX_UNREAD_CONFIG_FOLDER, host_name, true,
        "it reads ~/" + std::string(FIREFOX_USER_FOLDER) + ", even where XDG_CONFIG_HOME is set");
  if (!row.policies.empty()) browser.policies = chromium_policies(fs::path(row.policies));
  return browser;
}

// Sandboxed installs read their own copies of these folders, or reach hosts in their family's
// own way.
void note_sandboxed(const TableRow& row, std::vector<SandboxedInstall>& found) {
  std::string name(row.name);
  std::vector<fs::path> roots{"/var/lib/flatpak/app"};
  if (auto home = home_folder()) roots.push_back(*home / ".local/share/flatpak/app");
  for (const fs::path& root : roots) {
    if (!row.flatpak.empty() && present(root / row.flatpak))
      found.push_back({name, row.family, std::string(row.flatpak)});
  }
  if (!row.snap.empty() && present(fs::path("/snap") / row.snap))
    found.push_back({name, row.family, {}});
}

}  // namespace

BrowserFacts find_browsers(std::string_view host_name) {
  BrowserFacts facts;
  for (const TableRow& row : registration::BROWSER_TABLE) {
    facts.browsers.push_back(browser_of(row, host_name));
    note_sandboxed(row, facts.sandboxed);
  }
  return facts;
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
