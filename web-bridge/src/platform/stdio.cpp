// The part of the standard streams that both platforms share: the stream objects and the locks.
#include "platform/stdio.h"

#include "platform/stdio_calls.h"

namespace velmora::platform {

namespace {

class StandardInput final : public Reader {
 public:
  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override {
    return stdio_calls::read_input(into);
  }
};

class StandardOutput final : public Writer {
 public:
  std::expected<std::size_t, IoError> write(std::span<const std::byte> bytes) override {
    return stdio_calls::write_output(bytes);
  }
  std::expected<std::size_t, IoError> write_gathered(std::span<const ByteSpan> buffers) override {
    return stdio_calls::write_output_gathered(buffers);
  }
};

}  // namespace

Reader& standard_input() {
  static StandardInput input;
  return input;
}

Writer& standard_output() {
  static StandardOutput output;
  return output;
}

std::mutex& standard_input_lock() {
  static std::mutex lock;
  return lock;
}

std::mutex& standard_output_lock() {
  static std::mutex lock;
  return lock;
}

}  // namespace velmora::platform
