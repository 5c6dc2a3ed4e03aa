// Gathered writes on POSIX: the buffers of one call as the iovec array that writev and sendmsg
// take, within the kernel's limits on their number and total size.
#pragma once

#include <sys/uio.h>

#include <climits>
#include <span>

#include "byte_stream.h"

namespace velmora::platform {

struct IovecList {
  iovec parts[IOV_MAX];
  int count = 0;
  std::size_t total = 0;
};

inline void fill_iovecs(std::span<const ByteSpan> buffers, IovecList& list) {
  list.count = 0;
  list.total = 0;
  for (ByteSpan buffer : buffers) {
    if (list.count == IOV_MAX || buffer.size() > SSIZE_MAX - list.total) break;
    list.parts[list.count++] = {const_cast<std::byte*>(buffer.data()), buffer.size()};
    list.total += buffer.size();
  }
}

}  // namespace velmora::platform
