#include <windows.h>
// windows.h first: the shell headers rely on it.
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>

#include "platform/files.h"
#include "platform/unique_handle-win32.h"

namespace velmora::platform {

std::optional<std::filesystem::path> roaming_app_data_folder() {
  PWSTR folder = nullptr;
  HRESULT result = SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder);
  std::optional<std::filesystem::path> path;
  if (SUCCEEDED(result) && folder != nullptr) {
    path = std::filesystem::path(std::wstring(folder, static_cast<std::size_t>(lstrlenW(folder))));
  }
  CoTaskMemFree(folder);
  return path;
}

std::expected<std::vector<std::byte>, IoError> read_whole_file(const std::filesystem::path& path,
                                                               std::size_t limit) {
  // The agent may hold the file open or replace it while it is read.
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::unexpected(IoError::os(GetLastError()));
  // Only a disk file counts: a pipe or a device may never end.
  LARGE_INTEGER size{};
  if (GetFileType(file.get()) != FILE_TYPE_DISK)
    return std::unexpected(IoError::os(ERROR_BAD_FILE_TYPE));
  if (!GetFileSizeEx(file.get(), &size)) return std::unexpected(IoError::os(GetLastError()));
  // At most the size it has now: a file that grows while it is read cannot take memory without
  // end, and one torn that way fails to parse like any half-written file.
  auto total = static_cast<std::size_t>(size.QuadPart);
  if (total > limit) return std::unexpected(IoError::os(ERROR_FILE_TOO_LARGE));
  std::vector<std::byte> bytes;
  bytes.reserve(total);  // taken, not touched: a huge sparse file fails here
  std::byte chunk[8192];
  while (bytes.size() < total) {
    DWORD count = 0;
    auto ask = static_cast<DWORD>(std::min(sizeof chunk, total - bytes.size()));
    if (!ReadFile(file.get(), chunk, ask, &count, nullptr))
      return std::unexpected(IoError::os(GetLastError()));
    if (count == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + count);
  }
  return bytes;
}

}  // namespace velmora::platform

namespace velmora::platform {

bool metadata_readable(const std::filesystem::path& path) {
  // FILE_FLAG_BACKUP_SEMANTICS lets a folder open too; opening follows links, as a stat does.
  UniqueHandle file(CreateFileW(path.c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(file.get(), &info) != 0;
}

std::string display_path(const std::filesystem::path& path) {
  // Without WC_ERR_INVALID_CHARS an unpaired surrogate becomes U+FFFD.
  const std::wstring& wide = path.native();
  int length = static_cast<int>(wide.size());
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), size, nullptr, nullptr);
  return text;
}

}  // namespace velmora::platform
