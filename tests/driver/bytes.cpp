#include "bytes.h"

#include <array>

namespace velmora::driver {

Bytes length_prefix(std::uint32_t length) {
  Bytes out(4, '\0');
  for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<char>((length >> (8 * i)) & 0xFFu);
  return out;
}

Bytes frame(std::string_view payload) {
  return length_prefix(static_cast<std::uint32_t>(payload.size())) + Bytes(payload);
}

std::uint32_t decode_length(std::string_view four_bytes) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    length |= static_cast<std::uint32_t>(static_cast<unsigned char>(four_bytes[i])) << (8 * i);
  }
  return length;
}

std::string json_escape(std::string_view text) {
  static constexpr std::array<char, 16> kHex{'0', '1', '2', '3', '4', '5', '6', '7',
                                             '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace velmora::driver
