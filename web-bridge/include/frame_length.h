// A Frame's length field: the largest payload and the 4-byte little-endian codec, header-only so
// that programs that look at the host from outside (the doctor, the benchmark) read and write
// lengths as the host does without linking all of it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora {

inline constexpr std::uint32_t MAX_FRAME_LEN = 16'777'216;
inline constexpr std::size_t LENGTH_FIELD = 4;
using LengthField = std::array<std::byte, LENGTH_FIELD>;

constexpr LengthField encode_length(std::size_t length) {
  LengthField field{};
  for (std::size_t i = 0; i < field.size(); ++i) {
    field[i] = static_cast<std::byte>((length >> (8 * i)) & 0xFF);
  }
  return field;
}

// One load rather than four: the reader walks every small frame's length in each read.
constexpr std::uint32_t decode_length(std::span<const std::byte, LENGTH_FIELD> field) {
  LengthField bytes{};
  std::ranges::copy(field, bytes.begin());
  auto length = std::bit_cast<std::uint32_t>(bytes);
  if constexpr (std::endian::native == std::endian::big) length = std::byteswap(length);
  return length;
}

}  // namespace velmora
