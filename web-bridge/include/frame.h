// The Frame codec: a 4-byte little-endian length, then that many payload bytes. The same code
// reads and writes standard input, standard output and the agent socket.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
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

// A large frame lies in pieces of at most this many payload bytes, each taken from the pool just
// before it is read into and given back as soon as it has been written: a reader running a frame
// ahead of the writer holds about one frame more than is on its way, not whole frames. The first
// piece holds the length field in front of its payload, so that the frame's bytes leave from
// where they lie in page order, as one write: a write whose source is out of step with the
// pipe's pages copies more slowly.
inline constexpr std::size_t LARGE_PIECE = std::size_t{1} << 20;

// One or more whole frames in their wire form (each length field, then its payload), every
// length checked on the way in: what the queue carries and what is written as it stands. Runs
// of small frames are copied into a vector of their own; a large frame lies in large buffers, its
// length field in front of the first, which go back to their source when written or dropped.
class WireFrames {
 public:
  WireFrames() = default;
  WireFrames(std::vector<std::byte> copied) : copied_(std::move(copied)) {}
  WireFrames(std::size_t size, std::vector<LargeBuffer> pieces)
      : large_size_(size), pieces_(std::move(pieces)) {}

  // The run on the heap; nothing for a large frame.
  std::span<const std::byte> head() const { return copied_; }
  // A large frame, its length field and payload, in their order; none for a run on the heap.
  std::span<LargeBuffer> pieces() { return pieces_; }
  bool large() const { return !pieces_.empty(); }
  std::size_t size() const;
  // The first frame's payload, past its length field: the message that is looked at. A large
  // payload in several pieces is joined in `joined` first.
  std::span<const std::byte> first_payload(std::vector<std::byte>& joined) const;
  // What these frames cost the heap while queued: their copy with the allocator's share of it,
  // and their place in the queue. A run of one byte's frame costs many times its bytes.
  std::size_t heap_cost() const;

 private:
  std::vector<std::byte> copied_;
  std::size_t large_size_ = 0;
  std::vector<LargeBuffer> pieces_;
};

// Whole frames as read_frames yields them: still lying in the reader's buffer (valid until the
// next read from it), or in buffers of their own.
class FrameRun {
 public:
  static FrameRun lying_in(std::span<const std::byte> buffered) { return FrameRun(buffered, {}); }
  static FrameRun own(WireFrames frames) { return FrameRun({}, std::move(frames)); }

  // A large frame, or a run that filled half the reader's buffer or more: bulk traffic, which
  // crosses larger pipes in fewer turns. Single messages now and then never are.
  bool bulk() const {
    return own_.large() || std::max(own_.size(), buffered_.size()) >= BufferedReader::CAPACITY / 2;
  }
  // The frames still lying in the reader's buffer; none when they have buffers of their own.
  std::span<const std::byte> lying() const { return buffered_; }
  // For frames lying in the reader's buffer: drops the first `count` bytes, which went out
  // already; the rest goes after them as it stands, whole frames or not.
  void drop_written(std::size_t count) { buffered_ = buffered_.subspan(count); }
  // The frames in buffers of their own: moved out when they have them, else copied out.
  WireFrames take() &&;
  // Writes the frames where they lie, giving each large piece back once it is out.
  std::expected<void, IoError> write_to(Writer& stream) &&;

 private:
  FrameRun(std::span<const std::byte> buffered, WireFrames own)
      : buffered_(buffered), own_(std::move(own)) {}
  std::span<const std::byte> buffered_;
  WireFrames own_;
};

// Reads the next frames: every whole frame that the buffer holds after a read, reading once more
// behind a frame that fits the buffer but came cut; or a frame too large for the buffer alone,
// its payload straight from the stream, uncopied, into buffers taken from `large`. It waits for
// nothing but the stream. Interrupted reads are retried at once. Fails as read_frame does: "bad
// frame length" once the frames before it have been yielded, "failed to fill whole buffer" when the
// stream ends, even between frames.
std::expected<FrameRun, IoError> read_frames(BufferedReader& input, LargeBufferSource& large);

// At most this many runs go out in one gathered write, one buffer each: half of the 1,024
// buffers that one call takes on Linux (IOV_MAX) and on the Windows socket. Every writer caps a
// call at its own limit anyway and the rest goes in the next call.
inline constexpr std::size_t MAX_GATHERED_RUNS = 512;

// Writes the runs in their order, as they stand, in as few gathered writes as it takes; each
// large piece goes back to its source as soon as it is out.
std::expected<void, IoError> write_frames(Writer& stream, std::span<WireFrames> runs);

// Reads exactly into.size() bytes, retrying interrupted reads.
std::expected<void, IoError> read_exact(Reader& stream, std::span<std::byte> into);

// Writes all of bytes, retrying interrupted writes.
std::expected<void, IoError> write_all(Writer& stream, std::span<const std::byte> bytes);

// Writes all of the buffers in their order, carrying on after partial writes; the spans are
// used up as they go.
std::expected<void, IoError> write_all_gathered(Writer& stream, std::span<ByteSpan> buffers);

}  // namespace velmora
