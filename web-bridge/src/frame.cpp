#include "frame.h"

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

using LengthField = std::array<std::byte, 4>;

LengthField encode_length(std::size_t length) {
  LengthField field{};
  for (std::size_t i = 0; i < field.size(); ++i) {
    field[i] = static_cast<std::byte>((length >> (8 * i)) & 0xFF);
  }
  return field;
}

std::uint32_t decode_length(std::span<const std::byte, 4> field) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < field.size(); ++i) {
    length |= std::to_integer<std::uint32_t>(field[i]) << (8 * i);
  }
  return length;
}

bool valid_length(std::uint32_t length) {
  return length != 0 && length <= MAX_FRAME_LEN;
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

std::size_t whole_frames_length(std::span<const std::byte> bytes) {
  std::size_t whole = 0;
  while (bytes.size() - whole >= 4) {
    std::uint32_t length = decode_length(bytes.subspan(whole).first<4>());
    if (!valid_length(length) || bytes.size() - whole - 4 < length) break;
    whole += 4 + std::size_t{length};
  }
  return whole;
}

std::expected<Payload, IoError> read_frame(Reader& stream) {
  LengthField header{};
  if (auto ok = read_exact(stream, header); !ok) return std::unexpected(ok.error());
  std::uint32_t length = decode_length(header);
  if (!valid_length(length)) {
    return std::unexpected(IoError::invalid_data("bad frame length"));
  }
  Payload payload(length);
  if (auto ok = read_exact(stream, payload); !ok) return std::unexpected(ok.error());
  return payload;
}

std::expected<void, IoError> write_frame(Writer& stream, std::span<const std::byte> payload) {
  if (payload.size() > MAX_FRAME_LEN)
    return std::unexpected(IoError::invalid_data("frame too large"));
  LengthField header = encode_length(payload.size());
  std::array<ByteSpan, 2> buffers{header, payload};
  if (auto ok = write_all_gathered(stream, buffers); !ok) return ok;
  return stream.flush();
}

std::expected<void, IoError> write_frames(Writer& stream, std::span<const OutgoingBytes> items) {
  std::array<LengthField, MAX_GATHERED_FRAMES> headers;
  std::array<ByteSpan, 2 * MAX_GATHERED_FRAMES> buffers;
  while (!items.empty()) {
    std::size_t count = 0;
    std::size_t used = 0;
    for (; count < items.size() && count < MAX_GATHERED_FRAMES; ++count) {
      const OutgoingBytes& item = items[count];
      if (!item.framed) {
        if (item.bytes.size() > MAX_FRAME_LEN) break;
        headers[count] = encode_length(item.bytes.size());
        buffers[used++] = headers[count];
      }
      buffers[used++] = item.bytes;
    }
    if (count == 0) {
      // The frames before it have gone out whole; flushing them first keeps write_frame's order.
      if (auto ok = stream.flush(); !ok) return ok;
      return std::unexpected(IoError::invalid_data("frame too large"));
    }
    if (auto ok = write_all_gathered(stream, std::span(buffers).first(used)); !ok) return ok;
    items = items.subspan(count);
  }
  return stream.flush();
}

}  // namespace velmora
