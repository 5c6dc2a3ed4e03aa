// A Frame's length field: the largest payload and the 4-byte little-endian codec, header-only so
// that programs that look at the host from outside (the doctor, the benchmark) read and write
// lengths as the host does without linking all of it.
#pragma once

#include <array>
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

constexpr std::uint32_t decode_length(std::span<const std::byte, LENGTH_FIELD> field) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < field.size(); ++i) {
    length |= std::to_integer<std::uint32_t>(field[i]) << (8 * i);
  }
  return length;
}

}  // namespace velmora
