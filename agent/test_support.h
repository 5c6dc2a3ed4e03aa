// Helpers shared by the agent's tests.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace velmora::agent::testing {

// A fresh empty folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::random_device source;
    path_ = std::filesystem::temp_directory_path() /
            ("velmora-agent-test-" + std::to_string(source()) + std::to_string(source()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace velmora::agent::testing
