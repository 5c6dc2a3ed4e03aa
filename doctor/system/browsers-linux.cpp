#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <system_error>

#include "json/parse.h"
#include "platform/files.h"
#include "system/browsers.h"

namespace velmora::doctor::system {

namespace {

namespace fs = std::filesystem;

struct Known {
  const char* name;
  Family family;
  const char* user_folder;  // below the config folder (Chromium family) or HOME (Firefox)
  std::array<const char*, 3> system_folders;  // machine-wide, in the browser's order
  const char* policy_folder;                  // managed policies, or nullptr
  std::array<const char*, 4> programs;        // names on PATH, then where its packages put it
  const char* flatpak;                        // the Flatpak application ID
  const char* snap;
};

// Where each browser looks, in its order: the per-user folder, then the machine-wide ones.
// Chromium: native_process_launcher_posix.cc and seen here; Chrome: its documentation; Edge,
// Brave and Vivaldi: tested notes of others (Brave and Vivaldi read Chrome's system folder);
// Firefox: nsXREDirProvider.cpp and seen here (~/.mozilla even when XDG_CONFIG_HOME is set).
constexpr Known KNOWN[] = {
    {"Google Chrome",
     Family::Chromium,
     "google-chrome/NativeMessagingHosts",
     {"/etc/opt/chrome/native-messaging-hosts"},
     "/etc/opt/chrome/policies/managed",
     {"google-chrome", "google-chrome-stable", "/opt/google/chrome/chrome"},
     "com.google.Chrome",
     nullptr},
    {"Chromium",
     Family::Chromium,
     "chromium/NativeMessagingHosts",
     {"/etc/chromium/native-messaging-hosts"},
     "/etc/chromium/policies/managed",
     {"chromium", "chromium-browser", "/usr/lib/chromium/chromium"},
     "org.chromium.Chromium",
     "chromium"},
    {"Microsoft Edge",
     Family::Chromium,
     "microsoft-edge/NativeMessagingHosts",
     {"/etc/opt/edge/native-messaging-hosts", "/etc/opt/chrome/native-messaging-hosts"},
     "/etc/opt/edge/policies/managed",
     {"microsoft-edge", "microsoft-edge-stable", "/opt/microsoft/msedge/msedge"},
     "com.microsoft.Edge",
     nullptr},
    {"Brave",
     Family::Chromium,
     "BraveSoftware/Brave-Browser/NativeMessagingHosts",
     {"/etc/opt/chrome/native-messaging-hosts"},
     "/etc/brave/policies/managed",
     {"brave-browser", "brave", "/opt/brave.com/brave/brave"},
     "com.brave.Browser",
     "brave"},
    {"Vivaldi",
     Family::Chromium,
     "vivaldi/NativeMessagingHosts",
     {"/etc/opt/chrome/native-messaging-hosts"},
     nullptr,
     {"vivaldi", "vivaldi-stable", "/opt/vivaldi/vivaldi"},
     "com.vivaldi.Vivaldi",
     nullptr},
    {"Firefox",
     Family::Firefox,
     ".mozilla/native-messaging-hosts",
     {"/usr/lib/mozilla/native-messaging-hosts", "/usr/lib64/mozilla/native-messaging-hosts"},
     nullptr,
     {"firefox", "firefox-esr", "/usr/lib/firefox/firefox", "/usr/lib/firefox-esr/firefox-esr"},
     "org.mozilla.firefox",
     "firefox"},
};

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

std::vector<std::string> strings_of(const JsonValue* value) {
  std::vector<std::string> list;
  if (!value || !value->as_array()) return list;
  for (const auto& item : *value->as_array()) {
    if (item.as_string()) list.push_back(*item.as_string());
  }
  return list;
}

// Far above any policy file; a larger one is skipped.
constexpr std::size_t POLICY_FILE_LIMIT = 1 << 20;

// Every managed policy file that says anything about native messaging.
std::vector<Policy> policies_in(const char* folder) {
  std::vector<Policy> policies;
  std::error_code error;
  if (!folder) return policies;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.path().extension() != ".json") continue;
    auto bytes = platform::read_whole_file(entry.path(), POLICY_FILE_LIMIT);
    auto document = bytes ? parse_message(*bytes) : std::unexpected(JsonError{});
    if (!document) continue;
    Policy policy{text(entry.path()), std::nullopt,
                  strings_of(get_key(*document, "NativeMessagingBlocklist")),
                  strings_of(get_key(*document, "NativeMessagingAllowlist")), std::nullopt};
    if (const JsonValue* level = get_key(*document, "NativeMessagingUserLevelHosts"))
      if (level->as_bool()) policy.user_level_hosts = *level->as_bool();
    if (policy.user_level_hosts || !policy.blocklist.empty() || !policy.allowlist.empty())
      policies.push_back(std::move(policy));
  }
  return policies;
}

// A browser counts as installed when its program is there, never because a folder of its is.
bool installed(const Known& known) {
  const char* path = std::getenv("PATH");
  for (const char* program : known.programs) {
    if (!program) continue;
    if (program[0] == '/') {
      if (runnable(program)) return true;
      continue;
    }
    std::string_view rest = path ? path : "";
    while (!rest.empty()) {
      auto colon = rest.find(':');
      auto folder = rest.substr(0, colon);
      if (!folder.empty() && runnable(fs::path(folder) / program)) return true;
      rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
    }
  }
  return false;
}

Browser browser_of(const Known& known, std::string_view host_name) {
  auto base =
      known.family == Family::Chromium ? platform::roaming_app_data_folder() : home_folder();
  Browser browser{known.name, known.family, installed(known), {}, {}, false, {}};
  // Without HOME there is no per-user place: the line says so rather than list nothing.
  browser.places.push_back(base ? place_in(*base / known.user_folder, host_name, true)
                                : Place{"no per-user folder (HOME is not set)", true, {}, {}, {}});
  for (const char* folder : known.system_folders)
    if (folder) browser.places.push_back(place_in(folder, host_name, false));
  browser.policies = policies_in(known.policy_folder);
  return browser;
}

// Sandboxed installs read their own copies of these folders.
void note_sandboxed(const Known& known, std::vector<std::string>& notes) {
  std::vector<fs::path> roots{"/var/lib/flatpak/app"};
  if (auto home = home_folder()) roots.push_back(*home / ".local/share/flatpak/app");
  for (const fs::path& root : roots) {
    if (present(root / known.flatpak))
      notes.push_back(std::string(known.name) + " is installed as the Flatpak " + known.flatpak +
                      ", which sees none of the folders above");
  }
  if (known.snap && present(fs::path("/snap") / known.snap))
    notes.push_back(std::string(known.name) +
                    " is installed as a snap, which sees none of the "
                    "folders above");
}

}  // namespace

Surroundings look_around(std::string_view host_name) {
  Surroundings around;
  for (const Known& known : KNOWN) {
    around.browsers.push_back(browser_of(known, host_name));
    note_sandboxed(known, around.unreachable);
  }
  return around;
}

std::string_view register_step() {
  return "register the host again (velmora-register-host install)";
}

bool runnable(const fs::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::optional<bool> owned_by_current_user(const fs::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_uid == geteuid();
}

}  // namespace velmora::doctor::system
