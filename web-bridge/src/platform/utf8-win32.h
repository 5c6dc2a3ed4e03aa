// UTF-16 text from Win32 as UTF-8.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace velmora::platform {

// Without WC_ERR_INVALID_CHARS an unpaired surrogate becomes U+FFFD.
inline std::string utf8_from_utf16(std::wstring_view wide) {
  int length = static_cast<int>(wide.size());
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), size, nullptr, nullptr);
  return text;
}

}  // namespace velmora::platform
