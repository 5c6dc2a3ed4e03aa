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

// Bytes bound for a frame stream: one frame's payload, or, when `framed`, a run of whole frames
// still in their wire form (lengths included), passed on as they stand.
struct OutgoingBytes {
  Payload bytes;
  bool framed = false;
};

// At most this many items (payloads or framed runs) go out in one gathered write: two buffers
// each at most, well under every system's limit on buffers per call.
inline constexpr std::size_t MAX_GATHERED_FRAMES = 512;

// Writes one frame, its length and payload together, and flushes the stream.
std::expected<void, IoError> write_frame(Writer& stream, std::span<const std::byte> payload);

// Writes the items in their order, as few gathered writes as it takes, and flushes once. The
// bytes are exactly those of one write_frame per payload (and of each framed run as it stands).
// A payload above MAX_FRAME_LEN gives "frame too large" after the items before it have been
// written, and nothing of its own.
std::expected<void, IoError> write_frames(Writer& stream, std::span<const OutgoingBytes> items);

// How many of the bytes make up whole frames with valid lengths, counted from the front; these
// can be passed on as they stand.
std::size_t whole_frames_length(std::span<const std::byte> bytes);

// Reads exactly into.size() bytes, retrying interrupted reads.
std::expected<void, IoError> read_exact(Reader& stream, std::span<std::byte> into);

// Writes all of bytes, retrying interrupted writes.
std::expected<void, IoError> write_all(Writer& stream, std::span<const std::byte> bytes);

// Writes all of the buffers in their order, carrying on after partial writes; the spans are
// used up as they go.
std::expected<void, IoError> write_all_gathered(Writer& stream, std::span<ByteSpan> buffers);

}  // namespace velmora
