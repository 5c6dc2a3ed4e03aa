#include <sys/mman.h>
#include <unistd.h>

#include <new>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/pages.h"

namespace velmora::platform {

std::byte* map_pages(std::size_t& size) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  size = (size + page - 1) / page * page;
  void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) throw std::bad_alloc();
  return static_cast<std::byte*>(data);
}

void unmap_pages(std::byte* data, std::size_t size) noexcept {
  munmap(data, size);
}

void trim_heap() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

void share_one_heap() noexcept {
#if defined(__GLIBC__)
  mallopt(M_ARENA_MAX, 1);
#endif
}

}  // namespace velmora::platform
