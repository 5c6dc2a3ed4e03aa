// An owned registry key.
#pragma once

#include <windows.h>

#include "platform/unique_resource.h"

namespace velmora::doctor::system {

struct KeyTraits {
  using Value = HKEY;
  static Value invalid() noexcept { return nullptr; }
  static bool valid(HKEY key) noexcept { return key != nullptr; }
  static void close(HKEY key) noexcept { RegCloseKey(key); }
};

using UniqueKey = platform::UniqueResource<KeyTraits>;

}  // namespace velmora::doctor::system
