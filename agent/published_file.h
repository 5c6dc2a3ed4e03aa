// The bridge file as the agent keeps it: written whole or not at all, so that a host re-reading
// it at any moment never sees half of it, and withdrawn when the agent ends.
#pragma once

#include <expected>
#include <filesystem>
#include <mutex>
#include <string>

namespace velmora::agent {

// Writes `contents` to a temporary file beside `target` and renames it over `target`,
// creating the folder first. The error is a line of text for the operator.
std::expected<void, std::string> write_file_atomically(const std::filesystem::path& target,
                                                       std::string_view contents);

// A published file, removed once by whichever thread withdraws it first; a file that holds
// other contents by then belongs to someone else and stays.
class PublishedFile {
 public:
  static std::expected<PublishedFile, std::string> publish(std::filesystem::path target,
                                                           std::string contents);
  PublishedFile(PublishedFile&& other) noexcept;
  ~PublishedFile();

  // Safe from any thread; returns only once the file is gone.
  void withdraw();
  const std::filesystem::path& path() const { return target_; }

 private:
  PublishedFile(std::filesystem::path target, std::string contents);
  std::filesystem::path target_;
  std::string contents_;
  std::mutex mutex_;
  bool withdrawn_ = false;
};

}  // namespace velmora::agent
