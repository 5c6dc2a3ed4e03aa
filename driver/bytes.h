// Raw byte strings and the frame layout seen from the outside: 4-byte little-endian length,
// then the payload.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::driver {

// Bytes are held in std::string: payloads are mostly JSON text, and GoogleTest prints them.
using Bytes = std::string;

inline constexpr std::uint32_t kMaxFrameLength = 16'777'216;

Bytes length_prefix(std::uint32_t length);
Bytes frame(std::string_view payload);
std::uint32_t decode_length(std::string_view four_bytes);

// The text as JSON string contents (quotes excluded), for files the driver writes.
std::string json_escape(std::string_view text);

}  // namespace velmora::driver
