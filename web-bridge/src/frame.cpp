#include "frame.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace velmora {

std::expected<void, IoError> read_exact(Reader& stream, std::span<std::byte> into) {
  while (!into.empty()) {
    auto count = stream.read(into);
    if (!count) {
      if (count.error().kind() == IoError::Kind::Interrupted) continue;
      return std::unexpected(count.error());
    }
    if (*count == 0) return std::unexpected(IoError::unexpected_eof());
    into = into.subspan(*count);
  }
  return {};
}

std::expected<void, IoError> write_all(Writer& stream, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    auto count = stream.write(bytes);
    if (!count) {
      if (count.error().kind() == IoError::Kind::Interrupted) continue;
      return std::unexpected(count.error());
    }
    if (*count == 0) return std::unexpected(IoError::write_zero());
    bytes = bytes.subspan(*count);
  }
  return {};
}

namespace {

bool valid_length(std::uint32_t length) {
  return length != 0 && length <= MAX_FRAME_LEN;
}

// Reads a length field and checks it; nothing more is read.
std::expected<std::uint32_t, IoError> read_length(Reader& stream) {
  LengthField field{};
  if (auto ok = read_exact(stream, field); !ok) return std::unexpected(ok.error());
  std::uint32_t length = decode_length(field);
  if (!valid_length(length)) return std::unexpected(IoError::invalid_data("bad frame length"));
  return length;
}

// Drops `count` written bytes from the front of the buffers.
std::span<ByteSpan> consume(std::span<ByteSpan> buffers, std::size_t count) {
  while (!buffers.empty() && count >= buffers.front().size()) {
    count -= buffers.front().size();
    buffers = buffers.subspan(1);
  }
  if (!buffers.empty()) buffers.front() = buffers.front().subspan(count);
  return buffers;
}

}  // namespace

std::expected<void, IoError> write_all_gathered(Writer& stream, std::span<ByteSpan> buffers) {
  for (buffers = consume(buffers, 0); !buffers.empty(); buffers = consume(buffers, 0)) {
    auto count = stream.write_gathered(buffers);
    if (!count) {
      if (count.error().kind() == IoError::Kind::Interrupted) continue;
      return std::unexpected(count.error());
    }
    if (*count == 0) return std::unexpected(IoError::write_zero());
    buffers = consume(buffers, *count);
  }
  return {};
}

std::expected<Payload, IoError> read_frame(Reader& stream) {
  auto length = read_length(stream);
  if (!length) return std::unexpected(length.error());
  Payload payload(*length);
  if (auto ok = read_exact(stream, payload); !ok) return std::unexpected(ok.error());
  return payload;
}

std::expected<void, IoError> write_frame(Writer& stream, std::span<const std::byte> payload) {
  if (payload.size() > MAX_FRAME_LEN)
    return std::unexpected(IoError::invalid_data("frame too large"));
  LengthField header = encode_length(payload.size());
  std::array<ByteSpan, 2> buffers{header, payload};
  return write_all_gathered(stream, buffers);
}

std::size_t WireFrames::size() const {
  return pieces_.empty() ? copied_.size() : large_size_;
}

std::size_t WireFrames::heap_cost() const {
  if (copied_.capacity() == 0) return 0;
  // glibc's chunks: the size and a word of header, in steps of 16 bytes, 32 at least.
  constexpr std::size_t step = 16;
  std::size_t chunk = std::max<std::size_t>((copied_.capacity() + 8 + step - 1) / step * step, 32);
  return chunk + sizeof(WireFrames);
}

std::span<const std::byte> WireFrames::first_payload(std::vector<std::byte>& joined) const {
  if (pieces_.size() == 1) return pieces_.front().bytes().subspan(LENGTH_FIELD);
  if (!pieces_.empty()) {
    joined.clear();
    for (const LargeBuffer& piece : pieces_)
      joined.insert(joined.end(), piece.bytes().begin(), piece.bytes().end());
    joined.erase(joined.begin(), joined.begin() + LENGTH_FIELD);
    return joined;
  }
  if (copied_.size() < LENGTH_FIELD) return {};
  std::size_t length = decode_length(std::span(copied_).first<LENGTH_FIELD>());
  return std::span(copied_).subspan(LENGTH_FIELD, std::min(length, copied_.size() - LENGTH_FIELD));
}

WireFrames FrameRun::take() && {
  if (own_.size() > 0) return std::move(own_);
  return std::vector<std::byte>(buffered_.begin(), buffered_.end());
}

std::expected<void, IoError> FrameRun::write_to(Writer& stream) && {
  if (own_.size() == 0) return write_all(stream, buffered_);
  return write_frames(stream, std::span(&own_, 1));
}

namespace {

// Reads once, by fill or top_up, retrying at once when interrupted; the end of the stream is an
// error here.
template <typename Read>
std::expected<void, IoError> read_more(Read read) {
  for (;;) {
    auto filled = read();
    if (filled && *filled > 0) return {};
    if (filled) return std::unexpected(IoError::unexpected_eof());
    if (filled.error().kind() != IoError::Kind::Interrupted) return std::unexpected(filled.error());
  }
}

// How many of the bytes make up whole frames with valid lengths, counted from the front.
std::size_t whole_frames_length(std::span<const std::byte> bytes) {
  std::size_t whole = 0;
  while (bytes.size() - whole >= LENGTH_FIELD) {
    std::uint32_t length = decode_length(bytes.subspan(whole).first<LENGTH_FIELD>());
    if (!valid_length(length) || bytes.size() - whole - LENGTH_FIELD < length) break;
    whole += LENGTH_FIELD + std::size_t{length};
  }
  return whole;
}

// A payload too large for the reader's buffer, read piece by piece, each piece taken only when
// the one before is full: a buffer back from the writer meanwhile serves the next piece. The
// length field goes in front of the first piece's payload, so the frame lies as it goes out
// and every read after the buffered bytes lands on a page boundary.
std::expected<WireFrames, IoError> read_large_frame(Reader& stream, std::uint32_t length,
                                                    LargeBufferSource& large) {
  const LengthField field = encode_length(length);
  std::vector<LargeBuffer> pieces;
  pieces.reserve((length + LARGE_PIECE - 1) / LARGE_PIECE);
  for (std::size_t left = length; left > 0;) {
    std::size_t size = std::min(left, LARGE_PIECE);
    std::size_t head = pieces.empty() ? LENGTH_FIELD : 0;
    pieces.push_back(large.acquire(head + size));
    std::span<std::byte> into = pieces.back().bytes();
    std::ranges::copy(std::span(field).first(head), into.begin());
    if (auto ok = read_exact(stream, into.subspan(head)); !ok) return std::unexpected(ok.error());
    left -= size;
  }
  return WireFrames(LENGTH_FIELD + std::size_t{length}, std::move(pieces));
}

}  // namespace

std::expected<FrameRun, IoError> read_frames(BufferedReader& input, LargeBufferSource& large) {
  if (auto ok = read_more([&] { return input.fill(); }); !ok) return std::unexpected(ok.error());
  for (;;) {
    auto buffered = input.buffered();
    if (std::size_t whole = whole_frames_length(buffered); whole > 0) {
      input.consume(whole);
      return FrameRun::lying_in(buffered.first(whole));
    }
    if (buffered.size() >= LENGTH_FIELD) {
      std::uint32_t length = decode_length(buffered.first<LENGTH_FIELD>());
      if (!valid_length(length)) return std::unexpected(IoError::invalid_data("bad frame length"));
      if (LENGTH_FIELD + std::size_t{length} > BufferedReader::CAPACITY) {
        input.consume(LENGTH_FIELD);
        auto frame = read_large_frame(input, length, large);
        if (!frame) return std::unexpected(frame.error());
        return FrameRun::own(std::move(*frame));
      }
    }
    // A frame that fits the buffer yet came cut across reads waits there for its rest, and goes
    // out with the frames behind it: no copy and no call of its own.
    if (auto ok = read_more([&] { return input.top_up(); }); !ok)
      return std::unexpected(ok.error());
  }
}

std::expected<void, IoError> write_frames(Writer& stream, std::span<WireFrames> runs) {
  std::array<ByteSpan, MAX_GATHERED_RUNS> buffers;
  std::size_t count = 0;
  std::span<WireFrames> gathered = runs.first(0);
  // Each large piece goes back once out, for the reader's next frames.
  auto flush = [&]() -> std::expected<void, IoError> {
    auto ok = write_all_gathered(stream, std::span(buffers).first(std::exchange(count, 0)));
    for (WireFrames& run : std::exchange(gathered, gathered.last(0)))
      if (!run.pieces().empty()) run.pieces().front() = LargeBuffer();  // the one gathered
    return ok;
  };
  for (WireFrames& run : runs) {
    if (count + 1 > buffers.size())
      if (auto ok = flush(); !ok) return ok;
    gathered = std::span(gathered.data(), &run + 1);
    auto pieces = run.pieces();
    if (pieces.empty()) {
      buffers[count++] = run.head();
      continue;
    }
    // A frame in one piece goes out with its neighbours; a longer one a piece at a time.
    buffers[count++] = pieces.front().bytes();
    if (pieces.size() == 1) continue;
    if (auto ok = flush(); !ok) return ok;
    for (LargeBuffer& piece : pieces.subspan(1)) {
      if (auto ok = write_all(stream, piece.bytes()); !ok) return ok;
      piece = LargeBuffer();
    }
  }
  return flush();
}

}  // namespace velmora
