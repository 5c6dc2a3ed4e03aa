#include "host_version.h"

#include <algorithm>
#include <ranges>
#include <string_view>

#include "byte_stream.h"
#include "product.h"

namespace velmora::doctor {

std::optional<std::string> host_version(std::span<const std::byte> file) {
  auto mark = as_bytes(std::string_view(VELMORA_HOST_VERSION_MARK));
  auto found = std::ranges::search(file, mark);
  if (found.empty()) return std::nullopt;
  // A version is short and printable: it ends at the first other byte (a NUL in the host).
  constexpr std::size_t LONGEST = 32;
  std::string version;
  for (auto byte : std::ranges::subrange(found.end(), file.end())) {
    auto c = static_cast<char>(byte);
    if (c < '!' || c > '~') break;
    if (version.size() == LONGEST) return std::nullopt;
    version += c;
  }
  if (version.empty()) return std::nullopt;
  return version;
}

}  // namespace velmora::doctor
