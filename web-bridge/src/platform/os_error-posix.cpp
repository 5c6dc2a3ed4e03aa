#include <cstring>

#include "errors.h"

namespace velmora {

namespace {

// GNU strerror_r gives the text, which may be a static string instead of the buffer; the POSIX
// one gives 0 and fills the buffer. The build uses one of the two.
[[maybe_unused]] const char* text_of(const char* result, const char*) {
  return result;
}
[[maybe_unused]] const char* text_of(int result, const char* buffer) {
  return result == 0 ? buffer : "";
}

}  // namespace

std::string os_error_message(std::int64_t code) {
  char buffer[256] = {};
  std::string message = text_of(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
  while (!message.empty() && std::strchr(" \t\r\n", message.back()) != nullptr) message.pop_back();
  if (message.empty()) message = "Unknown error " + std::to_string(code);
  return message;
}

}  // namespace velmora
