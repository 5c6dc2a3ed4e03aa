// Tokens that must never leave the host except inside the hello to the agent. Every bridge file
// the driver writes notes its token here; every byte a host writes to its standard output or
// error stream is scanned for them, and a sighting is kept until the test takes it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::driver {

// Watched from now until forget_secrets(). Empty tokens match everything and are not watched.
void note_secret(std::string_view token);
void forget_secrets();

// Scans one stream's bytes in the order written; a token split across two chunks is seen too.
class SecretScan {
 public:
  explicit SecretScan(std::string stream_name) : stream_(std::move(stream_name)) {}
  void scan(std::string_view chunk);

 private:
  std::string stream_;
  std::string tail_;  // the last bytes seen, as long as the longest token less one
};

// Every sighting since the last call, as readable lines.
std::vector<std::string> take_secret_sightings();

}  // namespace velmora::driver
