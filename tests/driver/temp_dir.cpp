#include "temp_dir.h"

#include <fstream>
#include <random>
#include <system_error>

namespace velmora::driver {

namespace fs = std::filesystem;

// Portable, so that the unit tests of both builds use it too: a name no folder has yet.
std::expected<TempDir, std::string> TempDir::create() {
  std::error_code error;
  fs::path base = fs::temp_directory_path(error);
  if (error) return std::unexpected("no temporary folder: " + error.message());
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path path = base / ("velmora-test-" + std::to_string(random()) + std::to_string(random()));
    if (fs::create_directory(path, error)) return TempDir(std::move(path));
    if (error) return std::unexpected("cannot create " + path.string() + ": " + error.message());
  }
  return std::unexpected("no fresh folder name under " + base.string());
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
