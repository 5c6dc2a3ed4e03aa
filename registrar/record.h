// The record of a registration: each manifest written, with the size and hash of its bytes, and
// each folder created, so that `uninstall` takes back exactly that and nothing else. One line each:
//   file <size> <FNV-1a 64 in hex> <path>
//   folder <path>
// after a first line "velmora-register-host record 2". The shell script that came before wrote
// "<top>\t<path>" lines, which are read as files of unknown contents.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "places.h"

namespace velmora::registrar {

struct WrittenFile {
  fs::path path;
  // Nothing for a line of the shell script, which kept no contents.
  std::optional<std::uintmax_t> size;
  std::uint64_t hash = 0;
};

struct Record {
  std::vector<WrittenFile> files;
  std::vector<fs::path> folders;  // in the order created
  // Lines that name anything else, as read: install keeps them (they may be another
  // XDG_CONFIG_HOME's), uninstall names and drops them.
  std::vector<std::string> refused;

  // Replaces the entry of the same path, or adds one.
  void wrote(const fs::path& path, std::string_view contents);
  const WrittenFile* find(const fs::path& path) const;
};

// FNV-1a, 64 bits: it tells an edited file from the one written, not an attacker's.
std::uint64_t content_hash(std::string_view bytes);

// Nothing when there is no record. Only a manifest of `host_name` in a browser's per-user folder
// and a folder on the way to one (or to the record) are taken; any other line is refused.
std::expected<std::optional<Record>, std::string> read_record(const fs::path& file,
                                                              const UserFolders& user,
                                                              std::string_view host_name);

// Written whole, synced and renamed into place.
std::expected<void, std::string> save_record(const fs::path& file, const Record& record);

}  // namespace velmora::registrar
