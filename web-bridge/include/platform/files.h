// The file-system facts the host needs: where the per-user roaming folder is, and reading a file
// that another process may be rewriting.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "errors.h"

namespace velmora::platform {

// The per-user roaming application-data folder, or nothing when it cannot be determined.
std::optional<std::filesystem::path> roaming_app_data_folder();

// Reads the whole of a regular file of at most `limit` bytes, sharing read, write and delete
// access with other processes. Anything else (a FIFO, a device, a folder, a larger file) fails
// without a byte read, and opening it never blocks.
std::expected<std::vector<std::byte>, IoError> read_whole_file(const std::filesystem::path& path,
                                                               std::size_t limit);

// Whether the file's metadata can be read, following links; a folder counts.
bool metadata_readable(const std::filesystem::path& path);

// The path as UTF-8 text; what UTF-8 cannot represent shows as U+FFFD.
std::string display_path(const std::filesystem::path& path);

}  // namespace velmora::platform
