// The operating system's text for an error code.
#pragma once

#include <cstdint>
#include <string>

namespace velmora::platform {

// The system's message for `code`, trailing whitespace removed (strerror on POSIX,
// FormatMessageW on Windows), or a fallback that names the code.
std::string os_error_message(std::int64_t code);

}  // namespace velmora::platform
