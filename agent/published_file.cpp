#include "published_file.h"

#include <fstream>
#include <random>
#include <system_error>
#include <utility>

#include "platform/files.h"

namespace velmora::agent {

namespace {

namespace fs = std::filesystem;

std::string failure(std::string_view what, const fs::path& path, std::string_view cause) {
  return std::string(what) + " " + platform::display_path(path) + ": " + std::string(cause);
}

// A name no other writer of the same folder picks, so two agents never share a temporary.
fs::path temporary_beside(const fs::path& target) {
  std::random_device device;
  fs::path name = target.filename();
  name += "." + std::to_string(device()) + ".tmp";
  return target.parent_path() / name;
}

// The token is a secret of this user; the mode is a no-op where there is none.
std::expected<void, std::string> write_private(const fs::path& path, std::string_view contents) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::error_code error;
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, error);
  file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  file.close();
  if (!file) return std::unexpected(failure("cannot write", path, "write failed"));
  return {};
}

bool holds(const fs::path& path, std::string_view contents) {
  auto bytes = platform::read_whole_file(path, contents.size());
  return bytes &&
         std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()) == contents;
}

}  // namespace

std::expected<void, std::string> write_file_atomically(const fs::path& target,
                                                       std::string_view contents) {
  std::error_code error;
  if (fs::create_directories(target.parent_path(), error); error) {
    return std::unexpected(failure("cannot create", target.parent_path(), error.message()));
  }
  fs::path temporary = temporary_beside(target);
  if (auto written = write_private(temporary, contents); !written) {
    fs::remove(temporary, error);
    return written;
  }
  if (fs::rename(temporary, target, error); error) {
    std::string text = failure("cannot replace", target, error.message());
    fs::remove(temporary, error);
    return std::unexpected(std::move(text));
  }
  return {};
}

PublishedFile::PublishedFile(fs::path target, std::string contents)
    : target_(std::move(target)), contents_(std::move(contents)) {}

PublishedFile::PublishedFile(PublishedFile&& other) noexcept
    : target_(std::move(other.target_)),
      contents_(std::move(other.contents_)),
      withdrawn_(std::exchange(other.withdrawn_, true)) {}

PublishedFile::~PublishedFile() {
  withdraw();
}

std::expected<PublishedFile, std::string> PublishedFile::publish(fs::path target,
                                                                 std::string contents) {
  if (auto written = write_file_atomically(target, contents); !written) {
    return std::unexpected(std::move(written.error()));
  }
  return PublishedFile(std::move(target), std::move(contents));
}

void PublishedFile::withdraw() {
  std::lock_guard lock(mutex_);
  if (std::exchange(withdrawn_, true)) return;
  // Another agent may have taken the file over since; its file is not ours to remove.
  if (!holds(target_, contents_)) return;
  std::error_code ignored;
  fs::remove(target_, ignored);
}

}  // namespace velmora::agent
