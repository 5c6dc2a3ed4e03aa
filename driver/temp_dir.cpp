#include "temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

#include "unique_fd.h"

namespace velmora::driver {

namespace fs = std::filesystem;

std::expected<TempDir, std::string> TempDir::create() {
  std::error_code error;
  fs::path base = fs::temp_directory_path(error);
  if (error) return std::unexpected("no temporary folder: " + error.message());
  std::string pattern = (base / "velmora-blackbox-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return std::unexpected(os_failure("mkdtemp"));
  return TempDir(fs::path(pattern));
}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

void TempDir::remove() noexcept {
  if (path_.empty()) return;
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  path_.clear();
}

std::expected<void, std::string> write_file(const fs::path& path, std::string_view content) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  if (error) return std::unexpected("cannot create " + path.parent_path().string());
  fs::path aside = path;
  aside += ".partial";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out.flush()) return std::unexpected("cannot write " + aside.string());
  }
  fs::rename(aside, path, error);
  if (error) return std::unexpected("cannot rename to " + path.string() + ": " + error.message());
  return {};
}

}  // namespace velmora::driver
