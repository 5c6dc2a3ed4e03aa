// Raw byte strings and the frame layout seen from the outside: 4-byte little-endian length,
// then the payload.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frame_length.h"

namespace velmora::driver {

using velmora::MAX_FRAME_LEN;

// Bytes are held in std::string: payloads are mostly JSON text, and GoogleTest prints them.
using Bytes = std::string;

Bytes length_prefix(std::uint32_t length);
Bytes frame(std::string_view payload);
std::uint32_t decode_length(std::string_view four_bytes);

// The text as JSON string contents (quotes excluded), for files the driver writes.
std::string json_escape(std::string_view text);

}  // namespace velmora::driver
