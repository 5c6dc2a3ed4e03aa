// Whether a browser of the table is installed: its program is on PATH or where its packages put
// it. A profile folder may outlive its browser, and a browser never started has none, so folders
// never count. The doctor judges only these browsers' registrations; the registrar registers for
// them when none is named.
#pragma once

#include <filesystem>
#include <optional>

#include "browser_table.h"

namespace velmora::registration {

bool installed(const TableRow& row);
// The program that makes it installed, as found; nothing when it is not.
std::optional<std::filesystem::path> installed_program(const TableRow& row);

// A regular file this user may execute.
bool runnable(const std::filesystem::path& path);

}  // namespace velmora::registration
