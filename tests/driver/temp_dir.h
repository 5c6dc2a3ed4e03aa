// A fresh folder per test, removed with everything in it when the test ends. The unit tests of
// the library and the agent use it as well, on both builds.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace velmora::driver {

class TempDir {
 public:
  static std::expected<TempDir, std::string> create();

  TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  TempDir& operator=(TempDir&& other) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { remove(); }

  const std::filesystem::path& path() const { return path_; }

 private:
  explicit TempDir(std::filesystem::path path) : path_(std::move(path)) {}
  void remove() noexcept;

  std::filesystem::path path_;
};

// Writes the whole file, creating missing parent folders. The content appears under its name
// at once (written aside, then renamed), so a reader never sees half a file.
std::expected<void, std::string> write_file(const std::filesystem::path& path,
                                            std::string_view content);

}  // namespace velmora::driver
