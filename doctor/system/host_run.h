// One run of the registered host, started as a browser starts it, for the doctor's last check.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "frame.h"

namespace velmora::doctor::system {

struct HostRun {
  std::optional<Payload> first_frame;  // nothing when the output ended or the time ran out
  std::string error_stream;            // what the host wrote there
  std::optional<int> status;           // nothing when it had to be stopped
};

// What `reader` gives until it ends, fails or has given about `most` bytes: the host's error
// stream, which may be anything.
inline std::string read_text(Reader& reader, std::size_t most = 65536) {
  std::string text;
  std::array<std::byte, 4096> chunk;
  while (auto count = reader.read(chunk)) {
    if (*count == 0 || text.size() > most) break;
    text.append(reinterpret_cast<const char*>(chunk.data()), *count);
  }
  return text;
}

// Starts `host` with `origin` as its argument (on Windows through cmd.exe, as Chrome does),
// reads its first frame with the frame codec, closes its input and collects the rest; stops it
// after `limit`.
std::expected<HostRun, std::string> run_host_once(const std::filesystem::path& host,
                                                  const std::string& origin,
                                                  std::chrono::milliseconds limit);

}  // namespace velmora::doctor::system
