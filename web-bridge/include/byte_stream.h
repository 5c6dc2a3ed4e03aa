// The minimal byte-stream interface that standard input, standard output and the agent socket
// implement, and a buffered reader over any of them.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <string_view>

#include "errors.h"

namespace velmora {

class Reader {
 public:
  virtual ~Reader() = default;
  // Reads up to into.size() bytes; 0 means end of stream.
  virtual std::expected<std::size_t, IoError> read(std::span<std::byte> into) = 0;
};

using ByteSpan = std::span<const std::byte>;

// The bytes of a text, as the streams take them.
inline ByteSpan as_bytes(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

// Writers hold nothing back: the bytes a write accepts are in the pipe or socket when it
// returns, so a frame is on its way as soon as it is written and no flush is needed.
class Writer {
 public:
  virtual ~Writer() = default;
  // Writes up to bytes.size() bytes and gives how many were accepted.
  virtual std::expected<std::size_t, IoError> write(std::span<const std::byte> bytes) = 0;
  // Writes up to the sum of the buffers, in their order, and gives how many bytes were
  // accepted. Streams that can gather do it in one system call; this default writes the first
  // non-empty buffer alone.
  virtual std::expected<std::size_t, IoError> write_gathered(std::span<const ByteSpan> buffers);
};

// Many small frames cost one system call; a read at least as large as the buffer goes straight
// into the caller's memory, so large payloads are never copied.
class BufferedReader final : public Reader {
 public:
  static constexpr std::size_t CAPACITY = 64 * 1024;

  explicit BufferedReader(Reader& inner);
  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override;
  // The bytes read ahead and not handed out yet; looking at them costs no system call.
  std::span<const std::byte> buffered() const { return {buffer_.get() + begin_, end_ - begin_}; }
  // With nothing buffered, reads ahead once (up to CAPACITY) and gives the count; 0 is the end
  // of the stream. With bytes buffered already, reads nothing and gives their count.
  std::expected<std::size_t, IoError> fill();
  // Moves the buffered bytes (a frame begun and not whole) to the front and reads once more
  // behind them, so the frame goes out with those after it rather than in a call of its own.
  // Gives the count read; 0 is the end of the stream.
  std::expected<std::size_t, IoError> top_up();
  // Hands out the first `count` buffered bytes without copying them anywhere; they stay where
  // they lie, unchanged, until the next read.
  void consume(std::size_t count);

 private:
  Reader& inner_;
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace velmora
