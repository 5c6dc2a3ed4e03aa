#include <windows.h>
// windows.h first: the shell headers rely on it.
#include <knownfolders.h>
#include <shlobj.h>

#include <array>

#include "platform/files.h"
#include "system/browsers.h"
#include "system/unique_key-win32.h"

namespace velmora::doctor::system {

namespace {

namespace fs = std::filesystem;

// A browser the doctor knows on Windows: its registry keys, policy key and program.
struct BrowserRow {
  const char* name;
  Family family;
  std::array<const wchar_t*, 2> keys;  // below Software, before NativeMessagingHosts
  const wchar_t* policy;               // below Software\Policies, or nullptr
  const wchar_t* program;              // below Program Files, either view, or the local folder
};

// Brave and Vivaldi read Chrome's key after their own; so do Chromium-branded builds
// (launch_context_win.cc). Firefox: NativeManifests.sys.mjs.
constexpr BrowserRow BROWSER_ROWS[] = {
    {"Google Chrome",
     Family::Chromium,
     {L"Google\\Chrome", nullptr},
     L"Google\\Chrome",
     L"Google\\Chrome\\Application\\chrome.exe"},
    {"Chromium",
     Family::Chromium,
     {L"Chromium", L"Google\\Chrome"},
     L"Chromium",
     L"Chromium\\Application\\chrome.exe"},
    {"Microsoft Edge",
     Family::Chromium,
     {L"Microsoft\\Edge", nullptr},
     L"Microsoft\\Edge",
     L"Microsoft\\Edge\\Application\\msedge.exe"},
    {"Brave",
     Family::Chromium,
     {L"BraveSoftware\\Brave-Browser", L"Google\\Chrome"},
     L"BraveSoftware\\Brave",
     L"BraveSoftware\\Brave-Browser\\Application\\brave.exe"},
    {"Vivaldi",
     Family::Chromium,
     {L"Vivaldi", L"Google\\Chrome"},
     nullptr,
     L"Vivaldi\\Application\\vivaldi.exe"},
    {"Firefox", Family::Firefox, {L"Mozilla", nullptr}, nullptr, L"Mozilla Firefox\\firefox.exe"},
};

struct View {
  HKEY root;
  REGSAM flag;
  const char* shown;  // the root, and where the view puts the key
};
const View HKCU{HKEY_CURRENT_USER, KEY_WOW64_64KEY, "HKCU\\Software\\"};
const View HKLM_32{HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, "HKLM\\SOFTWARE\\WOW6432Node\\"};
const View HKLM_64{HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "HKLM\\SOFTWARE\\"};

std::string narrow(const std::wstring& wide) {
  return platform::display_path(fs::path(wide));
}

UniqueKey open_key(const View& view, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(view.root, path.c_str(), 0, KEY_READ | view.flag, &key) != ERROR_SUCCESS)
    return UniqueKey();
  return UniqueKey(key);
}

// The text of a string value, expanded; nothing when absent or of another type.
std::optional<std::wstring> string_value(HKEY key, const wchar_t* name) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return std::nullopt;
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  text.resize(wcsnlen(text.c_str(), text.size()));
  if (type == REG_SZ) return text;
  std::wstring expanded(32768, L'\0');
  DWORD length = ExpandEnvironmentStringsW(text.c_str(), expanded.data(), 32768);
  expanded.resize(length > 0 ? length - 1 : 0);
  return expanded;
}

Place place_at(const View& view, const std::wstring& key_path, bool user_level) {
  Place place{view.shown + narrow(key_path), user_level, std::nullopt, {}, {}};
  UniqueKey key = open_key(view, L"Software\\" + key_path);
  if (!key) return place;
  auto value = string_value(key.get(), nullptr);
  // Chrome counts a key only when its default value reads as a string, and otherwise looks on
  // (launch_context_win.cc, GetManifestPathWithFlagsFromSubkey); Firefox reads it alike.
  if (!value) {
    place.skipped = "the key has no default value (REG_SZ) naming a manifest, so it is passed over";
  } else if (!fs::path(*value).is_absolute()) {
    place.fault = "its default value \"" + narrow(*value) +
                  "\" is not an absolute path; set it to the manifest's full path";
  } else {
    place.manifest = fs::path(*value);
  }
  return place;
}

std::vector<Place> places_of(const BrowserRow& row, std::string_view host_name) {
  std::wstring name(host_name.begin(), host_name.end());
  auto key_path = [&](const wchar_t* key) {
    return std::wstring(key) + L"\\NativeMessagingHosts\\" + name;
  };
  std::vector<Place> places;
  if (row.family == Family::Firefox) {
    for (const View* view : {&HKCU, &HKLM_32, &HKLM_64})
      places.push_back(place_at(*view, key_path(row.keys[0]), view == &HKCU));
    return places;
  }
  // Per-user first, then machine-wide; the 32-bit view before the 64-bit one.
  for (const wchar_t* key : row.keys)
    if (key) places.push_back(place_at(HKCU, key_path(key), true));
  for (const wchar_t* key : row.keys) {
    if (!key) continue;
    places.push_back(place_at(HKLM_32, key_path(key), false));
    places.push_back(place_at(HKLM_64, key_path(key), false));
  }
  return places;
}

std::vector<std::string> list_values(HKEY parent, const wchar_t* name) {
  std::vector<std::string> list;
  HKEY opened = nullptr;
  if (RegOpenKeyExW(parent, name, 0, KEY_READ, &opened) != ERROR_SUCCESS) return list;
  UniqueKey key(opened);
  for (DWORD i = 0;; ++i) {
    wchar_t value_name[256];
    DWORD length = 256;
    if (RegEnumValueW(key.get(), i, value_name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    if (auto text = string_value(key.get(), value_name)) list.push_back(narrow(*text));
  }
  return list;
}

std::optional<DWORD> dword_value(HKEY key, const wchar_t* name) {
  DWORD value = 0, size = sizeof value, type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD)
    return std::nullopt;
  return value;
}

std::vector<Policy> policies_of(const BrowserRow& row) {
  std::vector<Policy> policies;
  if (!row.policy) return policies;
  std::wstring path = L"Software\\Policies\\" + std::wstring(row.policy);
  for (const View* view : {&HKLM_64, &HKCU}) {
    UniqueKey key = open_key(*view, path);
    if (!key) continue;
    Policy policy{std::string(view->shown) + "Policies\\" + narrow(row.policy), std::nullopt,
                  list_values(key.get(), L"NativeMessagingBlocklist"),
                  list_values(key.get(), L"NativeMessagingAllowlist"), std::nullopt};
    if (auto level = dword_value(key.get(), L"NativeMessagingUserLevelHosts"))
      policy.user_level_hosts = *level != 0;
    if (auto direct = dword_value(key.get(), L"NativeHostsExecutablesLaunchDirectly"))
      policy.launch_directly = *direct != 0;
    policies.push_back(std::move(policy));
  }
  return policies;
}

fs::path known_folder(const KNOWNFOLDERID& id) {
  PWSTR folder = nullptr;
  fs::path path;
  if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &folder))) path = fs::path(folder);
  CoTaskMemFree(folder);
  return path;
}

// A browser counts as installed when its program is where its installer puts it.
bool installed(const BrowserRow& row) {
  for (const KNOWNFOLDERID* id :
       {&FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86, &FOLDERID_LocalAppData}) {
    auto folder = known_folder(*id);
    if (!folder.empty() && runnable(folder / row.program)) return true;
  }
  return false;
}

// Chrome starts a host as "%COMSPEC% /d /s /c …" unless the policy
// NativeHostsExecutablesLaunchDirectly (Chrome and Edge 120 and later; launch_context_win.cc),
// the machine's before the user's, has it start an .exe directly. Firefox always starts it
// directly.
bool through_shell(const BrowserRow& row, const std::vector<Policy>& policies) {
  if (row.family == Family::Firefox) return false;
  for (const Policy& policy : policies)
    if (policy.launch_directly) return !*policy.launch_directly;
  return true;
}

// DisableCMD 1 or 2 keeps cmd.exe from running, and with it every host started through it.
std::string shell_disabled() {
  const wchar_t* path = L"Software\\Policies\\Microsoft\\Windows\\System";
  for (const View* view : {&HKLM_64, &HKCU}) {
    UniqueKey key = open_key(*view, path);
    auto value = key ? dword_value(key.get(), L"DisableCMD") : std::nullopt;
    if (value == 1u || value == 2u)
      return "DisableCMD=" + std::to_string(*value) + " at " + view->shown +
             "Policies\\Microsoft\\Windows\\System";
  }
  return {};
}

}  // namespace

BrowserFacts find_browsers(std::string_view host_name) {
  BrowserFacts facts;
  facts.relative_host_paths = true;
  facts.shell_disabled = shell_disabled();
  for (const BrowserRow& row : BROWSER_ROWS) {
    auto policies = policies_of(row);
    bool shell = through_shell(row, policies);
    std::string key =
        row.policy ? std::string(HKLM_64.shown) + "Policies\\" + narrow(row.policy) : "";
    facts.browsers.push_back({row.name, row.family, installed(row), places_of(row, host_name),
                              std::move(policies), shell, key});
  }
  return facts;
}

std::string_view register_step() {
  return "reinstall the host (msiexec /i velmora-web-host-<version>.msi)";
}

bool runnable(const fs::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::optional<bool> owned_by_current_user(const fs::path&) {
  return std::nullopt;
}

}  // namespace velmora::doctor::system
