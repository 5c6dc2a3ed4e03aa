// An agent in a process of its own, so that it can be killed as a real one is: it serves one
// connection by a script of raw steps, passes on every byte it reads, says when its script is
// done, and then waits for its SIGKILL. The kernel then closes its end as it would for any
// crashed agent: an end of stream, or a reset when bytes were left unread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "bytes.h"
#include "deadline.h"
#include "unique_fd.h"

namespace velmora::blackbox {

using namespace velmora::driver;  // NOLINT(google-build-using-namespace)

struct KillStep {
  enum class Kind { Accept, Read, Write, Echo } kind;
  std::size_t count = 0;  // Read: bytes to read
  Bytes bytes{};          // Write: bytes to send
};

class KilledAgent {
 public:
  // Listens at once; the process runs `steps` on the first connection and copies what it reads
  // to the file `report` (a file, unlike a pipe, never makes it wait).
  static std::expected<KilledAgent, std::string> start(const std::vector<KillStep>& steps,
                                                       const std::filesystem::path& report);
  KilledAgent(KilledAgent&& other) noexcept;
  KilledAgent& operator=(KilledAgent&&) = delete;
  ~KilledAgent();  // kills it if still alive

  std::uint16_t port() const { return port_; }
  // True once the script has run to its end within `limit`.
  bool wait_until_done(Duration limit);
  void kill();
  // Every byte the agent read from the host, once it has been killed.
  Bytes received();

 private:
  KilledAgent(pid_t pid, std::uint16_t port, UniqueFd done, std::filesystem::path report)
      : pid_(pid), port_(port), done_(std::move(done)), report_(std::move(report)) {}

  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  UniqueFd done_;
  std::filesystem::path report_;
};

}  // namespace velmora::blackbox
