// Memory for large frames taken from the system in whole pages, not from the heap: it is never
// zero-filled by the program (the system gives zeroed pages on first touch), and dropping it
// gives it back to the system at once, where a heap might keep it.
#pragma once

#include <cstddef>
#include <utility>

namespace velmora::platform {

// Maps at least `size` bytes, readable and writable, and raises `size` to what was mapped.
// Throws std::bad_alloc when the system refuses.
std::byte* map_pages(std::size_t& size);
void unmap_pages(std::byte* data, std::size_t size) noexcept;

// Gives the heap's free memory back to the system where the heap keeps it (glibc keeps freed
// memory of its thread arenas); elsewhere does nothing.
void trim_heap() noexcept;
// Makes every thread allocate from the one heap where the C library keeps one per thread
// (glibc): the top of a thread's heap, which a backlog of small frames can leave many MiB
// large, is never trimmed. Called before any other thread starts.
void share_one_heap() noexcept;

class Pages {
 public:
  Pages() = default;
  explicit Pages(std::size_t size) : size_(size) { data_ = map_pages(size_); }
  Pages(Pages&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Pages& operator=(Pages&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~Pages() {
    if (data_) unmap_pages(data_, size_);
  }

  std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace velmora::platform
