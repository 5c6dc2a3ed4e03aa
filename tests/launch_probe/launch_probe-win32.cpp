#include <windows.h>

#include <cstdint>
#include <string>

#include "launch_probe.h"

namespace velmora::launch_probe {

namespace {

std::string kind_of(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return "none";
  DWORD mode = 0;
  switch (GetFileType(handle)) {
    case FILE_TYPE_CHAR:
      // A console is a character device too; the null device has no console mode.
      return GetConsoleMode(handle, &mode) ? "console" : "null";
    case FILE_TYPE_PIPE:
      return "pipe";
    case FILE_TYPE_DISK:
      return "disk";
    default:
      return "unknown";
  }
}

bool is_standard(HANDLE handle) {
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    if (GetStdHandle(which) == handle) return true;
  }
  return false;
}

std::string narrow(const std::wstring& wide) {
  int length = static_cast<int>(wide.size());
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), size, nullptr, nullptr);
  }
  return text;
}

// Handle values are small multiples of 4; an inherited one keeps the value it had in the host.
constexpr std::uintptr_t kHighestHandle = 1 << 16;

}  // namespace

std::string describe(StandardStream stream) {
  return kind_of(
      GetStdHandle(stream == StandardStream::Input ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE));
}

std::string held_beyond_standard_streams() {
  // Sockets are pipes to GetFileType too.
  int pipes = 0;
  for (std::uintptr_t value = 4; value <= kHighestHandle; value += 4) {
    auto handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags) || is_standard(handle)) continue;
    if (GetFileType(handle) == FILE_TYPE_PIPE) ++pipes;
  }
  return pipes == 0 ? "none" : std::to_string(pipes) + " pipe(s)";
}

std::string current_folder() {
  std::wstring folder(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
    if (length == 0) return "unknown";
    if (length < folder.size()) return narrow(folder.substr(0, length));
    folder.resize(length);
  }
}

}  // namespace velmora::launch_probe

namespace velmora::launch_probe {

// Windows has no signal dispositions, masks or sessions to pass on; its programs get one
// command line to split themselves.
std::string platform_lines() {
  return "command_line=" + narrow(GetCommandLineW()) + "\n";
}

}  // namespace velmora::launch_probe
