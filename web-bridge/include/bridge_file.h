// The bridge file through which the agent publishes its loopback port and pairing token. The host
// only ever reads it, afresh at every connection attempt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "errors.h"

namespace velmora {

struct BridgeFile {
  std::uint16_t port = 0;
  std::string token;
};

// <roaming application data>/VelmoraAgent/web-bridge.json, or nothing when the roaming folder is
// unknown. The file itself is not touched.
std::optional<std::filesystem::path> bridge_file_path();

// {"port": <0..65535>, "token": <string>} with other keys ignored, or [<port>, <token>].
std::expected<BridgeFile, JsonError> parse_bridge_file(std::span<const std::byte> bytes);

// Larger than any bridge file whose token fits a hello (a token escaped to six bytes a byte,
// at most a frame's worth), with room to spare: a larger one cannot serve, and reading it would
// only take memory.
inline constexpr std::size_t MAX_BRIDGE_FILE_SIZE = 8 * std::size_t{16'777'216};

// NotConnected when the file cannot be read, is no regular file, or is larger than
// MAX_BRIDGE_FILE_SIZE; Protocol with the parser's text when its contents
// are not a bridge file.
std::expected<BridgeFile, BridgeError> read_bridge_file(const std::filesystem::path& path);

}  // namespace velmora
