// A native-messaging host manifest judged as each browser family's parser judges it (the rules in
// browser_rules.h): the host's "name", a "description", "type" "stdio", a "path" (absolute where
// the platform requires it) and the allowed origins or extensions, as that family reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "extension_ids.h"
#include "system/browsers.h"

namespace velmora::doctor {

// The most the doctor reads of a manifest where the browser's own limit is higher or unknown
// (FamilyRules::manifest_limit). The file is parsed as a stream, so blanks cost no memory.
inline constexpr std::uintmax_t MAX_MANIFEST_SIZE = std::uintmax_t{2} << 30;

struct ManifestRules {
  std::string_view host_name;
  system::Family family;
  std::span<const std::string> extension_ids;  // each must be allowed
  bool relative_host_paths;
};

struct ManifestVerdict {
  std::vector<std::string> faults;            // each a reason the browser would refuse it
  std::optional<std::filesystem::path> host;  // the program it names, resolved
};

ManifestVerdict judge_manifest(const std::filesystem::path& file, std::istream& text,
                               const ManifestRules& rules);
ManifestVerdict judge_manifest(const std::filesystem::path& file, std::span<const std::byte> bytes,
                               const ManifestRules& rules);

using registration::origin_of;

}  // namespace velmora::doctor
