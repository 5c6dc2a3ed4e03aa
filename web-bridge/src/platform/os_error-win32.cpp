#include <windows.h>

#include <cwctype>

#include "platform/os_error.h"

namespace velmora::platform {

namespace {

std::string to_utf8(const wchar_t* text, int length) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

std::string os_error_message(std::int64_t code) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  while (length > 0 && std::iswspace(static_cast<wint_t>(buffer[length - 1]))) --length;
  std::string message = length > 0 ? to_utf8(buffer, static_cast<int>(length)) : std::string();
  if (buffer != nullptr) LocalFree(buffer);
  if (message.empty()) message = "Unknown error " + std::to_string(code);
  return message;
}

}  // namespace velmora::platform
