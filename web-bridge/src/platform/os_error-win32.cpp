#include <windows.h>

#include <cwctype>

#include "errors.h"
#include "platform/utf8-win32.h"

namespace velmora {

std::string os_error_message(std::int64_t code) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  while (length > 0 && std::iswspace(static_cast<wint_t>(buffer[length - 1]))) --length;
  std::string message = length > 0 ? platform::utf8_from_utf16({buffer, length}) : std::string();
  if (buffer != nullptr) LocalFree(buffer);
  if (message.empty()) message = "Unknown error " + std::to_string(code);
  return message;
}

}  // namespace velmora
