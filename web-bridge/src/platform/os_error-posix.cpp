#include <cstring>

#include "platform/os_error.h"

namespace velmora::platform {

std::string os_error_message(std::int64_t code) {
  char buffer[256] = {};
  // GNU strerror_r may return a static string instead of filling the buffer.
  auto text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  std::string message = text != nullptr ? std::string(text) : std::string(buffer);
  while (!message.empty() && std::strchr(" \t\r\n", message.back()) != nullptr) message.pop_back();
  if (message.empty()) message = "Unknown error " + std::to_string(code);
  return message;
}

}  // namespace velmora::platform
