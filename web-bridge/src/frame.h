// The Frame codec: a 4-byte little-endian length, then that many payload bytes. The same code
// reads and writes standard input, standard output and the agent socket.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <vector>

#include "byte_stream.h"
#include "errors.h"

namespace velmora {

inline constexpr std::size_t MAX_FRAME_LEN = 16'777'216;

// One frame's contents, owned and moved from reader to queue to writer, never copied.
using Payload = std::vector<std::byte>;

// Reads one frame. The length is checked before anything is allocated.
std::expected<Payload, IoError> read_frame(Reader& stream);

// Writes one frame and flushes the stream.
std::expected<void, IoError> write_frame(Writer& stream, std::span<const std::byte> payload);

// Reads exactly into.size() bytes, retrying interrupted reads.
std::expected<void, IoError> read_exact(Reader& stream, std::span<std::byte> into);

// Writes all of bytes, retrying interrupted writes.
std::expected<void, IoError> write_all(Writer& stream, std::span<const std::byte> bytes);

}  // namespace velmora
