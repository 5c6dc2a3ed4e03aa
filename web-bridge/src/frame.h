// The Frame codec: a 4-byte little-endian length, then that many payload bytes. The same code
// reads and writes standard input, standard output and the agent socket.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "byte_stream.h"
#include "errors.h"
#include "frame_length.h"
#include "large_buffer.h"

namespace velmora {

// One frame's contents, owned and moved from reader to writer, never copied.
using Payload = std::vector<std::byte>;

// Reads one frame. The length is checked before anything is allocated.
std::expected<Payload, IoError> read_frame(Reader& stream);

// Writes one frame, its length and payload together.
std::expected<void, IoError> write_frame(Writer& stream, std::span<const std::byte> payload);

// One or more whole frames in their wire form (each length field, then its payload), every
// length checked on the way in: what the queue carries and what is written as it stands. Runs
// of small frames are copied into a vector of their own; a large frame lies in a large buffer,
// which goes back to its source when the frames are dropped.
class WireFrames {
 public:
  WireFrames() = default;
  WireFrames(std::vector<std::byte> copied) : copied_(std::move(copied)) {}
  explicit WireFrames(LargeBuffer large) : large_(std::move(large)) {}

  std::span<const std::byte> bytes() const {
    return copied_.empty() ? std::span<const std::byte>(large_.bytes()) : copied_;
  }
  // The first frame's payload, past its length field: the message that is looked at.
  std::span<const std::byte> first_payload() const;
  // Bytes copied onto the heap for these frames; none for a large frame's own pages.
  std::size_t heap_bytes() const { return copied_.size(); }
  // For frames on the heap: drops the first `count` bytes, which went out already; the rest
  // goes after them as it stands, whole frames or not.
  void drop_written(std::size_t count);

 private:
  std::vector<std::byte> copied_;
  LargeBuffer large_;
};

// Whole frames as read_frames yields them: still lying in the reader's buffer (valid until the
// next read from it), or in a buffer of their own.
class FrameRun {
 public:
  static FrameRun lying_in(std::span<const std::byte> buffered) { return FrameRun(buffered, {}); }
  static FrameRun own(WireFrames frames) { return FrameRun({}, std::move(frames)); }

  std::span<const std::byte> bytes() const {
    return own_.bytes().empty() ? buffered_ : own_.bytes();
  }
  // The frames in a buffer of their own: moved out when they have one, else copied out.
  WireFrames take() &&;

 private:
  FrameRun(std::span<const std::byte> buffered, WireFrames own)
      : buffered_(buffered), own_(std::move(own)) {}
  std::span<const std::byte> buffered_;
  WireFrames own_;
};

// Reads the next frames: every whole frame that the buffer holds after at most one read, or,
// when the next frame is not whole there, that frame alone, read on into its own buffer (a large
// payload straight from the stream, uncopied, into a buffer taken from `large`). It waits for
// nothing but the stream. Interrupted reads are retried at once. Fails as read_frame does: "bad
// frame length" once the frames before it have been yielded, "failed to fill whole buffer" when the
// stream ends, even between frames.
std::expected<FrameRun, IoError> read_frames(BufferedReader& input, LargeBufferSource& large);

// At most this many runs go out in one gathered write, one buffer each: half of the 1,024
// buffers that one call takes on Linux (IOV_MAX) and on the Windows socket. Every writer caps a
// call at its own limit anyway and the rest goes in the next call.
inline constexpr std::size_t MAX_GATHERED_RUNS = 512;

// Writes the runs in their order, as they stand, in as few gathered writes as it takes.
std::expected<void, IoError> write_frames(Writer& stream, std::span<const WireFrames> runs);

// Reads exactly into.size() bytes, retrying interrupted reads.
std::expected<void, IoError> read_exact(Reader& stream, std::span<std::byte> into);

// Writes all of bytes, retrying interrupted writes.
std::expected<void, IoError> write_all(Writer& stream, std::span<const std::byte> bytes);

// Writes all of the buffers in their order, carrying on after partial writes; the spans are
// used up as they go.
std::expected<void, IoError> write_all_gathered(Writer& stream, std::span<ByteSpan> buffers);

}  // namespace velmora
