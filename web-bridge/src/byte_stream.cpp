#include "byte_stream.h"

#include <algorithm>
#include <cstring>

namespace velmora {

std::expected<std::size_t, IoError> Writer::write_gathered(std::span<const ByteSpan> buffers) {
  for (ByteSpan buffer : buffers) {
    if (!buffer.empty()) return write(buffer);
  }
  return 0;
}

BufferedReader::BufferedReader(Reader& inner)
    : inner_(inner), buffer_(std::make_unique<std::byte[]>(CAPACITY)) {}

std::expected<std::size_t, IoError> BufferedReader::fill() {
  if (begin_ != end_) return end_ - begin_;
  auto filled = inner_.read({buffer_.get(), CAPACITY});
  if (!filled) return filled;
  begin_ = 0;
  end_ = *filled;
  return end_;
}

std::expected<std::size_t, IoError> BufferedReader::top_up() {
  std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
  auto filled = inner_.read({buffer_.get() + end_, CAPACITY - end_});
  if (filled) end_ += *filled;
  return filled;
}

void BufferedReader::consume(std::size_t count) {
  begin_ += std::min(count, end_ - begin_);
}

std::expected<std::size_t, IoError> BufferedReader::read(std::span<std::byte> into) {
  if (begin_ == end_) {
    if (into.size() >= CAPACITY) return inner_.read(into);
    auto filled = fill();
    if (!filled) return filled;
  }
  std::size_t count = std::min(into.size(), end_ - begin_);
  std::memcpy(into.data(), buffer_.get() + begin_, count);
  begin_ += count;
  return count;
}

}  // namespace velmora
