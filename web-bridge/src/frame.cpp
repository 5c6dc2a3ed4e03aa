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

std::expected<Payload, IoError> read_frame(Reader& stream) {
  std::array<std::byte, 4> header{};
  if (auto ok = read_exact(stream, header); !ok) return std::unexpected(ok.error());
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < header.size(); ++i) {
    length |= std::to_integer<std::uint32_t>(header[i]) << (8 * i);
  }
  if (length == 0 || length > MAX_FRAME_LEN) {
    return std::unexpected(IoError::invalid_data("bad frame length"));
  }
  Payload payload(length);
  if (auto ok = read_exact(stream, payload); !ok) return std::unexpected(ok.error());
  return payload;
}

std::expected<void, IoError> write_frame(Writer& stream, std::span<const std::byte> payload) {
  if (payload.size() > MAX_FRAME_LEN)
    return std::unexpected(IoError::invalid_data("frame too large"));
  auto length = static_cast<std::uint32_t>(payload.size());
  std::array<std::byte, 4> header{};
  for (std::size_t i = 0; i < header.size(); ++i) {
    header[i] = static_cast<std::byte>((length >> (8 * i)) & 0xFF);
  }
  if (auto ok = write_all(stream, header); !ok) return ok;
  if (auto ok = write_all(stream, payload); !ok) return ok;
  return stream.flush();
}

}  // namespace velmora
