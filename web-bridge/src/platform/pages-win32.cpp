#include <windows.h>

#include <new>

#include "platform/pages.h"

namespace velmora::platform {

std::byte* map_pages(std::size_t& size) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const std::size_t page = info.dwPageSize;
  size = (size + page - 1) / page * page;
  void* data = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!data) throw std::bad_alloc();
  return static_cast<std::byte*>(data);
}

void unmap_pages(std::byte* data, std::size_t) noexcept {
  VirtualFree(data, 0, MEM_RELEASE);
}

// The Windows heap gives large freed blocks back by itself.
void trim_heap() noexcept {}

// The process heap is one heap for every thread already.
void share_one_heap() noexcept {}

}  // namespace velmora::platform
