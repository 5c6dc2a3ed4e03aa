#include "secrets.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace velmora::driver {

namespace {

struct Watch {
  std::mutex mutex;
  std::vector<std::string> tokens;
  std::vector<std::string> sightings;
};

Watch& watch() {
  static Watch instance;
  return instance;
}

}  // namespace

void note_secret(std::string_view token) {
  if (token.empty()) return;
  std::lock_guard lock(watch().mutex);
  if (std::ranges::find(watch().tokens, token) == watch().tokens.end()) {
    watch().tokens.emplace_back(token);
  }
}

void forget_secrets() {
  std::lock_guard lock(watch().mutex);
  watch().tokens.clear();
}

void SecretScan::scan(std::string_view chunk) {
  if (chunk.empty()) return;
  std::lock_guard lock(watch().mutex);
  std::size_t longest = 0;
  for (const std::string& token : watch().tokens) longest = std::max(longest, token.size());
  if (longest == 0) return;
  // Only the seam needs a copy: the tail before the chunk and the chunk's first bytes.
  std::string seam = tail_ + std::string(chunk.substr(0, longest - 1));
  for (const std::string& token : watch().tokens) {
    if (seam.find(token) != std::string::npos || chunk.find(token) != std::string_view::npos) {
      watch().sightings.push_back("the token " + token + " appeared on the host's " + stream_);
    }
  }
  if (chunk.size() >= longest - 1) {
    tail_ = std::string(chunk.substr(chunk.size() - (longest - 1)));
  } else {
    tail_ = seam.substr(seam.size() - std::min(seam.size(), longest - 1));
  }
}

std::vector<std::string> take_secret_sightings() {
  std::lock_guard lock(watch().mutex);
  return std::exchange(watch().sightings, {});
}

}  // namespace velmora::driver
