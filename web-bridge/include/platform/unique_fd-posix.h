// An owned POSIX file descriptor.
#pragma once

#include <unistd.h>

#include "platform/unique_resource.h"

namespace velmora::platform {

struct FdTraits {
  using Value = int;
  static constexpr int invalid() noexcept { return -1; }
  static constexpr bool valid(int fd) noexcept { return fd >= 0; }
  // The descriptor is released even when close reports an error; there is nothing to retry.
  static void close(int fd) noexcept { ::close(fd); }
};

using UniqueFd = UniqueResource<FdTraits>;

}  // namespace velmora::platform
