// The minimal byte-stream interface that standard input, standard output and the agent socket
// implement, and a buffered reader over any of them.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <span>

#include "errors.h"

namespace velmora {

class Reader {
 public:
  virtual ~Reader() = default;
  // Reads up to into.size() bytes; 0 means end of stream.
  virtual std::expected<std::size_t, IoError> read(std::span<std::byte> into) = 0;
};

class Writer {
 public:
  virtual ~Writer() = default;
  // Writes up to bytes.size() bytes and gives how many were accepted.
  virtual std::expected<std::size_t, IoError> write(std::span<const std::byte> bytes) = 0;
  virtual std::expected<void, IoError> flush() = 0;
};

// Many small frames cost one system call; a read at least as large as the buffer goes straight
// into the caller's memory, so large payloads are never copied.
class BufferedReader final : public Reader {
 public:
  static constexpr std::size_t CAPACITY = 64 * 1024;

  explicit BufferedReader(Reader& inner);
  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override;

 private:
  Reader& inner_;
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace velmora
