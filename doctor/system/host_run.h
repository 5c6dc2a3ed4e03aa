// One run of the registered host, started as a browser starts it, for the doctor's last check.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "frame.h"

namespace velmora::doctor::system {

struct HostRun {
  std::optional<Payload> first_frame;  // nothing when the output ended or the time ran out
  std::string output_fault;            // what came instead of a frame a browser takes, or empty
  std::string error_stream;            // what the host wrote there
  std::optional<std::string> status;   // as status_of gives it; nothing when stopped or killed
  std::string signal;                  // the signal that ended it, named, or empty
  std::string crash;  // the fault that ended it ("access violation, 0xC0000005"), or empty
};

// How a Windows exit code reads: the crash that ended the process ("access violation,
// 0xC0000005") for the exception codes that are crashes (ntstatus.h), else nothing. Any other
// code, however high, is a status the program chose (0xFFFFFFFF from exit(-1)) or was given
// (0xC000013A, Ctrl+C).
std::string crash_of(std::uint32_t code);
// "N", or for a code from 0x80000000 up its hex form ("0xC000013A"), with the name of a code a
// start fails with ("0xC0000135, a DLL it needs was not found").
std::string status_of(std::uint32_t code);

// The most a browser takes in one message from a host (Chromium's kMaximumNativeMessageSize,
// Firefox's MAX_READ).
inline constexpr std::uint32_t BROWSER_MESSAGE_LIMIT = 1 << 20;

// Reads the first frame from the host's output as a browser does, or says what came instead.
inline void read_first_frame(Reader& output, HostRun& run) {
  auto read_exactly = [&](std::span<std::byte> into) {
    std::size_t got = 0;
    while (got < into.size()) {
      auto count = output.read(into.subspan(got));
      if (!count || *count == 0) break;
      got += *count;
    }
    return got;
  };
  LengthField length_bytes{};
  std::size_t got = read_exactly(length_bytes);
  if (got == 0) return;
  const std::uint32_t length = decode_length(length_bytes);
  std::string shown(reinterpret_cast<const char*>(length_bytes.data()), got);
  if (got < LENGTH_FIELD) {
    run.output_fault = "wrote only " + std::to_string(got) + " bytes to its output";
  } else if (length > BROWSER_MESSAGE_LIMIT) {
    run.output_fault = "began its output with a message length of " + std::to_string(length) +
                       " bytes (the text \"" + shown +
                       "\"), more than a browser takes: something else writes to its output";
  } else {
    Payload payload(length);
    if (read_exactly(payload) == length)
      run.first_frame = std::move(payload);
    else
      run.output_fault = "wrote a message shorter than its length said";
  }
}

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

// How a browser starts its host.
struct Launch {
  // On Windows through cmd.exe (Chrome's way), else directly (Firefox's, and Chrome's under the
  // launch-directly policy).
  bool through_shell = false;
  // On POSIX a file the system cannot run is run by /bin/sh, as execvp does (Chromium's way).
  bool script_fallback = false;
};

// Whether the file is one that only /bin/sh can run: no "#!" line and no binary's header (POSIX);
// false where the platform has no such thing.
bool needs_shell(const std::filesystem::path& host);

// Starts `host` with `origin` as its argument as `launch` says, in the host's own folder (both
// browsers start it there) and with the doctor's environment, which a browser the user started
// passes on too. Reads its first frame as a browser does, closes its input and collects the
// rest; stops it after `limit`.
std::expected<HostRun, std::string> run_host_once(const std::filesystem::path& host,
                                                  const std::string& origin, Launch launch,
                                                  std::chrono::milliseconds limit);

}  // namespace velmora::doctor::system
