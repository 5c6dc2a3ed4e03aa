// The registrar's file operations, each safe to stop after: a file is replaced whole (written
// beside it, synced, renamed over it), folders are made one at a time so that each can be
// recorded, and a file is read or removed only as itself, never through a symbolic link.
#pragma once

#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::registrar {

namespace fs = std::filesystem;

// The bytes of a regular file; nothing when there is none. A symbolic link or anything else
// that is not a regular file is an error, as is a file above 1 MiB (no manifest or record is).
std::expected<std::optional<std::string>, std::string> read_regular_file(const fs::path& path);

// Writes `contents` to a new file beside `target`, syncs it, renames it over `target` (a link
// there is replaced, not followed) and syncs the folder.
std::expected<void, std::string> replace_file(const fs::path& target, std::string_view contents,
                                              mode_t mode);

// Makes each missing folder of `creatable` (outermost first) in turn, telling `made` after each
// one, which may refuse to go on.
using MadeFolder = std::function<std::expected<void, std::string>(const fs::path&)>;
std::expected<void, std::string> make_folders(const std::vector<fs::path>& creatable,
                                              const MadeFolder& made);

// Removes the file (gone already is fine).
std::expected<void, std::string> remove_file(const fs::path& path);
// Removes the folder if it is one and empty; false otherwise.
bool remove_empty_folder(const fs::path& path);

}  // namespace velmora::registrar
