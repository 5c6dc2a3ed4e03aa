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

constexpr std::size_t LENGTH_FIELD = 4;
using LengthField = std::array<std::byte, LENGTH_FIELD>;

LengthField encode_length(std::size_t length) {
  LengthField field{};
  for (std::size_t i = 0; i < field.size(); ++i) {
    field[i] = static_cast<std::byte>((length >> (8 * i)) & 0xFF);
  }
  return field;
}

std::uint32_t decode_length(std::span<const std::byte, LENGTH_FIELD> field) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < field.size(); ++i) {
    length |= std::to_integer<std::uint32_t>(field[i]) << (8 * i);
  }
  return length;
}

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

std::span<const std::byte> WireFrames::first_payload() const {
  auto all = bytes();
  if (all.size() < LENGTH_FIELD) return {};
  std::size_t length = decode_length(all.first<LENGTH_FIELD>());
  return all.subspan(LENGTH_FIELD, std::min(length, all.size() - LENGTH_FIELD));
}

void WireFrames::drop_written(std::size_t count) {
  copied_.erase(copied_.begin(), copied_.begin() + static_cast<std::ptrdiff_t>(count));
}

WireFrames FrameRun::take() && {
  if (!own_.bytes().empty()) return std::move(own_);
  return std::vector<std::byte>(buffered_.begin(), buffered_.end());
}

namespace {

// With nothing buffered, reads once, retrying at once when interrupted; the end of the stream
// is an error here.
std::expected<void, IoError> fill(BufferedReader& input) {
  for (;;) {
    auto filled = input.fill();
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

// The frame with this length field into `into`, which is sized for it.
std::expected<WireFrames, IoError> read_frame_into(Reader& stream, std::uint32_t length,
                                                   std::span<std::byte> into, WireFrames frame) {
  std::ranges::copy(encode_length(length), into.begin());
  if (auto ok = read_exact(stream, into.subspan(LENGTH_FIELD)); !ok)
    return std::unexpected(ok.error());
  return frame;
}

// One frame into a buffer of its own, taken once its length has been checked. A frame that fits
// the reader's own buffer, yet came cut across reads, is a small copy; a larger one takes a
// large buffer, used again for later frames rather than fresh pages each time.
std::expected<WireFrames, IoError> read_one_frame(Reader& stream, LargeBufferSource& large) {
  auto length = read_length(stream);
  if (!length) return std::unexpected(length.error());
  std::size_t size = LENGTH_FIELD + *length;
  if (size <= BufferedReader::CAPACITY) {
    std::vector<std::byte> small(size);
    std::span<std::byte> into(small);  // the vector's storage moves with it
    return read_frame_into(stream, *length, into, std::move(small));
  }
  LargeBuffer buffer = large.acquire(size);
  std::span<std::byte> into = buffer.bytes();
  return read_frame_into(stream, *length, into, WireFrames(std::move(buffer)));
}

}  // namespace

std::expected<FrameRun, IoError> read_frames(BufferedReader& input, LargeBufferSource& large) {
  if (auto filled = fill(input); !filled) return std::unexpected(filled.error());
  if (std::size_t whole = whole_frames_length(input.buffered()); whole > 0) {
    auto run = input.buffered().first(whole);
    input.consume(whole);
    return FrameRun::lying_in(run);
  }
  auto frame = read_one_frame(input, large);
  if (!frame) return std::unexpected(frame.error());
  return FrameRun::own(std::move(*frame));
}

std::expected<void, IoError> write_frames(Writer& stream, std::span<const WireFrames> runs) {
  std::array<ByteSpan, MAX_GATHERED_RUNS> buffers;
  while (!runs.empty()) {
    std::size_t count = std::min(runs.size(), buffers.size());
    std::ranges::transform(runs.first(count), buffers.begin(),
                           [](const WireFrames& run) { return run.bytes(); });
    if (auto ok = write_all_gathered(stream, std::span(buffers).first(count)); !ok) return ok;
    runs = runs.subspan(count);
  }
  return {};
}

}  // namespace velmora
