// Final paths in their ordinary form: the \\?\ prefix of the final-path query taken off
// where the rest reads as the same path without it.
#include "platform/final_path-win32.h"

#include <windows.h>

#include <algorithm>

namespace velmora::platform::win32 {

namespace {

constexpr std::wstring_view DRIVE_PREFIX = L"\\\\?\\";     // \\?\C:\...
constexpr std::wstring_view UNC_PREFIX = L"\\\\?\\UNC\\";  // \\?\UNC\server\share\...

wchar_t upper(wchar_t c) {
  return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// "C:\\", a drive's root.
constexpr std::size_t DRIVE_ROOT = 3;
bool drive_root(std::wstring_view root) {
  return root.size() == DRIVE_ROOT && upper(root[0]) >= L'A' && upper(root[0]) <= L'Z' &&
         root.substr(1) == L":\\";
}

bool equal_ignoring_case(std::wstring_view left, std::wstring_view right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(),
                    [](wchar_t a, wchar_t b) { return upper(a) == upper(b); });
}

// A name that ordinary paths take for a device, with any extension: NUL, NUL.txt, COM1.log.
bool device_name(std::wstring_view component) {
  std::wstring_view base = component.substr(0, component.find(L'.'));
  while (base.ends_with(L' ')) base.remove_suffix(1);
  for (std::wstring_view device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (equal_ignoring_case(base, device)) return true;
  }
  // COM0 to COM9 and LPT0 to LPT9, and with a superscript digit one to three.
  constexpr std::wstring_view DIGITS = L"0123456789\u00b9\u00b2\u00b3";
  return base.size() == 4 &&
         (equal_ignoring_case(base.substr(0, 3), L"COM") ||
          equal_ignoring_case(base.substr(0, 3), L"LPT")) &&
         DIGITS.find(base[3]) != std::wstring_view::npos;
}

bool ordinary_component(std::wstring_view component) {
  constexpr std::wstring_view NOT_ALLOWED = L"<>:\"/|?*";
  if (component.empty() || component.ends_with(L'.') || component.ends_with(L' ')) return false;
  for (wchar_t c : component) {
    if (c < 0x20 || NOT_ALLOWED.find(c) != std::wstring_view::npos) return false;
  }
  return !device_name(component);
}

// Each component of `rest`, the path after its drive or share, reads as itself.
bool ordinary_components(std::wstring_view rest) {
  while (!rest.empty()) {
    auto end = std::min(rest.find(L'\\'), rest.size());
    if (!ordinary_component(rest.substr(0, end))) return false;
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return true;
}

}  // namespace

std::wstring ordinary_form(std::wstring_view final_path) {
  std::wstring ordinary;
  std::wstring_view rest;
  if (final_path.starts_with(UNC_PREFIX)) {
    // \\?\UNC\server\share\rest: the server and the share are components like any other.
    ordinary = L"\\\\";
    rest = final_path.substr(UNC_PREFIX.size());
    ordinary += rest;
  } else if (final_path.starts_with(DRIVE_PREFIX) &&
             drive_root(final_path.substr(DRIVE_PREFIX.size(), DRIVE_ROOT))) {
    ordinary = final_path.substr(DRIVE_PREFIX.size());
    rest = final_path.substr(DRIVE_PREFIX.size() + DRIVE_ROOT);
  } else {
    return std::wstring(final_path);
  }
  // MAX_PATH counts the terminating null.
  if (ordinary.size() >= MAX_PATH || !ordinary_components(rest)) return std::wstring(final_path);
  return ordinary;
}

}  // namespace velmora::platform::win32
