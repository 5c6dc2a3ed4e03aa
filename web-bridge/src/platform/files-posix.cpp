#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/files.h"
#include "platform/unique_fd-posix.h"

namespace velmora::platform {

std::optional<std::filesystem::path> roaming_app_data_folder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    return std::filesystem::path(xdg);
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    return std::filesystem::path(home) / ".config";
  }
  return std::nullopt;
}

std::expected<std::vector<std::byte>, IoError> read_whole_file(const std::filesystem::path& path,
                                                               std::size_t limit) {
  // Non-blocking, so that opening a FIFO that nobody writes cannot hang; only a regular file
  // counts, since a device or a FIFO may never end.
  UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) return std::unexpected(IoError::os(errno));
  struct stat info {};
  if (fstat(file.get(), &info) != 0) return std::unexpected(IoError::os(errno));
  if (!S_ISREG(info.st_mode)) return std::unexpected(IoError::os(EINVAL));
  // At most the size it has now: a file that grows while it is read cannot take memory without
  // end, and one torn that way fails to parse like any half-written file.
  auto size = static_cast<std::size_t>(info.st_size);
  if (size > limit) return std::unexpected(IoError::os(EFBIG));
  std::vector<std::byte> bytes;
  bytes.reserve(size);  // taken, not touched: a huge sparse file fails here
  std::byte chunk[8192];
  while (bytes.size() < size) {
    ssize_t count = read(file.get(), chunk, std::min(sizeof chunk, size - bytes.size()));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::unexpected(IoError::os(errno));
    if (count == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + count);
  }
  return bytes;
}

}  // namespace velmora::platform

namespace velmora::platform {

bool metadata_readable(const std::filesystem::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8_sequence_length(std::string_view text) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  std::size_t length = lead < 0x80   ? 1
                       : lead < 0xC2 ? 0
                       : lead < 0xE0 ? 2
                       : lead < 0xF0 ? 3
                       : lead < 0xF5 ? 4
                                     : 0;
  if (length == 0 || length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and code points above U+10FFFF are not UTF-8.
  if (length == 3 && ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0)))
    return 0;
  if (length == 4 && ((lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90)))
    return 0;
  return length;
}

}  // namespace

std::string display_path(const std::filesystem::path& path) {
  std::string_view raw = path.native();
  std::string text;
  while (!raw.empty()) {
    std::size_t length = utf8_sequence_length(raw);
    text.append(length > 0 ? raw.substr(0, length) : "\xEF\xBF\xBD");
    raw.remove_prefix(length > 0 ? length : 1);
  }
  return text;
}

}  // namespace velmora::platform
