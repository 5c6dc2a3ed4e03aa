// Memory for frames too large for a reader's own buffer: whole pages, never zero-filled by the
// program (a read fills them), handed back to the source they came from when dropped, so that
// the next large frame can reuse them.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <utility>

#include "platform/pages.h"

namespace velmora {

class LargeBuffer;

// Where the frame codec takes a large frame's buffer; it knows nothing else of it.
class LargeBufferSource {
 public:
  virtual ~LargeBufferSource() = default;
  // A buffer of exactly `size` bytes; std::bad_alloc when the system has no memory for it.
  virtual LargeBuffer acquire(std::size_t size) = 0;

 protected:
  friend class LargeBuffer;
  virtual void give_back(platform::Pages pages) noexcept = 0;
};

class LargeBuffer {
 public:
  LargeBuffer() = default;
  LargeBuffer(std::shared_ptr<LargeBufferSource> home, platform::Pages pages,
              std::size_t size) noexcept
      : home_(std::move(home)), pages_(std::move(pages)), size_(size) {}
  LargeBuffer(LargeBuffer&&) noexcept = default;
  LargeBuffer& operator=(LargeBuffer&& other) noexcept {
    if (this != &other) {
      give_back();
      home_ = std::move(other.home_);
      pages_ = std::move(other.pages_);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~LargeBuffer() { give_back(); }

  std::span<std::byte> bytes() const { return {pages_.data(), size_}; }

 private:
  void give_back() noexcept {
    if (auto home = std::exchange(home_, nullptr)) home->give_back(std::move(pages_));
    size_ = 0;
  }

  std::shared_ptr<LargeBufferSource> home_;
  platform::Pages pages_;
  std::size_t size_ = 0;
};

}  // namespace velmora
