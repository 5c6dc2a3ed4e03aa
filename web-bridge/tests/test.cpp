#include "test.h"

#include <algorithm>
#include <iterator>

namespace velmora::test {

Payload bytes(std::string_view text) {
  Payload out(text.size());
  std::ranges::transform(text, out.begin(), [](char c) { return std::byte(c); });
  return out;
}

Payload frame_of(std::span<const std::byte> payload) {
  auto n = payload.size();
  Payload out(4 + n);
  for (std::size_t i = 0; i < 4; ++i) out[i] = std::byte((n >> (8 * i)) & 0xFF);
  std::ranges::copy(payload, out.begin() + 4);
  return out;
}

Payload frames_of(const std::vector<Payload>& payloads) {
  Payload out;
  for (const auto& payload : payloads)
    std::ranges::copy(frame_of(payload), std::back_inserter(out));
  return out;
}

}  // namespace velmora::test
