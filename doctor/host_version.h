// The version that a host executable carries (VELMORA_HOST_VERSION_MARK), read from its bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace velmora::doctor {

// Far above any build of the host; a larger file is read no further.
inline constexpr std::size_t MAX_HOST_FILE_SIZE = std::size_t{256} << 20;

// The version after the first mark, or nullopt when the file carries none.
std::optional<std::string> host_version(std::span<const std::byte> file);

}  // namespace velmora::doctor
