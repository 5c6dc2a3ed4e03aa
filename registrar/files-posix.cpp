#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "files.h"
#include "platform/files.h"
#include "platform/unique_fd-posix.h"

namespace velmora::registrar {

namespace {

using platform::UniqueFd;

constexpr std::size_t MOST = 1 << 20;

std::string failure(std::string_view what, const fs::path& path, int error) {
  return std::string(what) + " " + platform::display_path(path) + ": " + std::strerror(error);
}

std::expected<void, std::string> write_all(int fd, std::string_view bytes, const fs::path& path) {
  while (!bytes.empty()) {
    ssize_t count = write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::unexpected(failure("cannot write", path, errno));
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return {};
}

// The rename is kept once the folder is synced.
void sync_folder(const fs::path& folder) {
  UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) fsync(fd.get());
}

std::expected<void, std::string> write_new(const fs::path& path, std::string_view contents,
                                           mode_t mode) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!fd) return std::unexpected(failure("cannot write", path, errno));
  // Not the umask's mode: the browsers read the manifest as the user, so 0644 is enough.
  if (fchmod(fd.get(), mode) != 0) return std::unexpected(failure("cannot write", path, errno));
  if (auto written = write_all(fd.get(), contents, path); !written) return written;
  if (fsync(fd.get()) != 0) return std::unexpected(failure("cannot write", path, errno));
  return {};
}

}  // namespace

std::expected<std::optional<std::string>, std::string> read_regular_file(const fs::path& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return std::unexpected(failure("cannot read", path, errno));
  }
  if (S_ISLNK(info.st_mode))
    return std::unexpected(platform::display_path(path) + " is a symbolic link");
  if (!S_ISREG(info.st_mode))
    return std::unexpected(platform::display_path(path) + " is not a regular file");
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) return std::unexpected(failure("cannot read", path, errno));
  std::string text;
  char chunk[8192];
  while (true) {
    ssize_t count = read(fd.get(), chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::unexpected(failure("cannot read", path, errno));
    if (count == 0) return text;
    text.append(chunk, static_cast<std::size_t>(count));
    if (text.size() > MOST)
      return std::unexpected(platform::display_path(path) + " is larger than 1 MiB");
  }
}

std::expected<void, std::string> replace_file(const fs::path& target, std::string_view contents,
                                              mode_t mode) {
  fs::path temporary = target;
  temporary += "." + std::to_string(std::random_device{}()) + ".new";
  auto written = write_new(temporary, contents, mode);
  if (written && rename(temporary.c_str(), target.c_str()) != 0)
    written = std::unexpected(failure("cannot replace", target, errno));
  if (!written) {
    unlink(temporary.c_str());
    return written;
  }
  sync_folder(target.parent_path());
  return {};
}

std::expected<void, std::string> make_folders(const std::vector<fs::path>& creatable,
                                              const MadeFolder& made) {
  for (const fs::path& folder : creatable) {
    if (mkdir(folder.c_str(), 0755) == 0) {
      sync_folder(folder.parent_path());
      if (auto told = made(folder); !told) return told;
      continue;
    }
    struct stat info {};
    // One already there, or a link to one (a user's ~/.config may be), is used as it is.
    if (errno == EEXIST && stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
    return std::unexpected(failure("cannot create", folder, errno == EEXIST ? ENOTDIR : errno));
  }
  return {};
}

std::expected<void, std::string> remove_file(const fs::path& path) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT)
    return std::unexpected(failure("cannot remove", path, errno));
  sync_folder(path.parent_path());
  return {};
}

bool remove_empty_folder(const fs::path& path) {
  // rmdir takes only an empty folder, and never a link.
  return rmdir(path.c_str()) == 0;
}

}  // namespace velmora::registrar
