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

// NotConnected when the file cannot be read; Protocol with the parser's text when its contents
// are not a bridge file.
std::expected<BridgeFile, BridgeError> read_bridge_file(const std::filesystem::path& path);

}  // namespace velmora
