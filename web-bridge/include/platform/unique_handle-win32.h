// An owned Win32 kernel-object HANDLE (file, pipe, process, thread).
#pragma once

#include <windows.h>

#include "platform/unique_resource.h"

namespace velmora::platform {

struct HandleTraits {
  using Value = HANDLE;
  static Value invalid() noexcept { return nullptr; }
  // Win32 calls fail with either value, depending on the call: both mean no handle.
  static bool valid(HANDLE handle) noexcept {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }
  static void close(HANDLE handle) noexcept { CloseHandle(handle); }
};

using UniqueHandle = UniqueResource<HandleTraits>;

}  // namespace velmora::platform
