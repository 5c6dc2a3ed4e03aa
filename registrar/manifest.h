// The host manifest the registrar writes for a browser family: UTF-8 JSON by the library's own
// writer, allowing the IDs given, naming the host by its absolute path.
#pragma once

#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "family.h"

namespace velmora::registrar {

inline constexpr std::string_view DESCRIPTION =
    "Links the Velmora browser extension to the Velmora desktop agent";

// Refuses a host path that is not UTF-8 or holds control characters: JSON holds only UTF-8,
// and a browser would refuse the file or start another program.
std::expected<void, std::string> writable_host_path(const std::filesystem::path& host);

// The manifest, one member a line, ending in a newline. Empty for a family without IDs.
std::string manifest_text(registration::Family family, const std::filesystem::path& host,
                          std::span<const std::string> ids);

// Whether `bytes` is exactly what the shell script that came before would have written for its
// own contents: a manifest of ours, although no record says what it held.
bool written_by_the_script(std::string_view bytes, std::string_view host_name);

}  // namespace velmora::registrar
