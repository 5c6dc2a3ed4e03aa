#include "frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>

namespace velmora {
namespace {

Payload bytes(std::string_view text) {
  Payload out(text.size());
  std::transform(text.begin(), text.end(), out.begin(), [](char c) { return std::byte(c); });
  return out;
}

// An in-memory stream that can hand out at most `chunk` bytes per call and fail on demand.
class MemoryStream final : public Reader, public Writer {
 public:
  explicit MemoryStream(Payload input = {}, std::size_t chunk = SIZE_MAX)
      : input_(input.begin(), input.end()), chunk_(chunk) {}

  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override {
    if (interrupt_next_) {
      interrupt_next_ = false;
      return std::unexpected(IoError::os(4, true));
    }
    std::size_t count = std::min({into.size(), input_.size(), chunk_});
    std::copy_n(input_.begin(), count, into.begin());
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(count));
    ++reads;
    return count;
  }
  std::expected<std::size_t, IoError> write(std::span<const std::byte> data) override {
    if (interrupt_next_) {
      interrupt_next_ = false;
      return std::unexpected(IoError::os(4, true));
    }
    std::size_t count = std::min(data.size(), chunk_);
    output.insert(output.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
  }
  std::expected<void, IoError> flush() override {
    ++flushes;
    return {};
  }
  void interrupt_next() { interrupt_next_ = true; }
  std::size_t remaining() const { return input_.size(); }

  Payload output;
  int reads = 0;
  int flushes = 0;

 private:
  std::deque<std::byte> input_;
  std::size_t chunk_;
  bool interrupt_next_ = false;
};

Payload frame_bytes(std::uint32_t length, std::string_view payload) {
  Payload out = {std::byte(length & 0xFF), std::byte((length >> 8) & 0xFF),
                 std::byte((length >> 16) & 0xFF), std::byte(length >> 24)};
  Payload body = bytes(payload);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

TEST(ReadFrame, DecodesLittleEndianLengthWhateverTheReadSizes) {
  for (std::size_t chunk : {SIZE_MAX, std::size_t{1}, std::size_t{3}}) {
    MemoryStream stream(frame_bytes(15, R"({"op":"linked"}xyz)"), chunk);
    auto payload = read_frame(stream);
    ASSERT_TRUE(payload) << "chunk " << chunk;
    EXPECT_EQ(*payload, bytes(R"({"op":"linked"})"));
    EXPECT_EQ(stream.remaining(), 3u);
  }
}

TEST(ReadFrame, RejectsBadLengthsAndShortStreams) {
  struct Case {
    Payload input;
    const char* error;
    std::size_t left_unread;
  };
  const std::byte x{'x'};
  const Case cases[] = {
      {{std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}, x}, "bad frame length", 1},
      {{std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0x0F}, x}, "bad frame length", 1},
      {{std::byte{1}, std::byte{0}, std::byte{0}, std::byte{1}, x}, "bad frame length", 1},
      {{std::byte{0xFF}, std::byte{0xFF}, std::byte{0xFF}, std::byte{0xFF}}, "bad frame length", 0},
      {{std::byte{5}, std::byte{0}}, "failed to fill whole buffer", 0},
      {{}, "failed to fill whole buffer", 0},
      {{std::byte{5}, std::byte{0}, std::byte{0}, std::byte{0}, x},
       "failed to fill whole buffer",
       0},
  };
  for (const auto& c : cases) {
    MemoryStream stream(c.input);
    auto payload = read_frame(stream);
    ASSERT_FALSE(payload);
    EXPECT_EQ(payload.error().display(), c.error);
    EXPECT_EQ(stream.remaining(), c.left_unread);
  }
}

TEST(ReadFrame, AcceptsTheLargestFrame) {
  Payload input = {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}};
  input.resize(4 + MAX_FRAME_LEN, std::byte{0x5A});
  MemoryStream stream(std::move(input));
  auto payload = read_frame(stream);
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->size(), MAX_FRAME_LEN);
  EXPECT_EQ(payload->back(), std::byte{0x5A});
}

TEST(ReadFrame, RetriesInterruptedReads) {
  MemoryStream stream(frame_bytes(2, "ok"), 1);
  stream.interrupt_next();
  auto payload = read_frame(stream);
  ASSERT_TRUE(payload);
  EXPECT_EQ(*payload, bytes("ok"));
}

TEST(ReadFrame, PassesOperatingSystemErrorsThrough) {
  class Failing final : public Reader {
    std::expected<std::size_t, IoError> read(std::span<std::byte>) override {
      return std::unexpected(IoError::os(32));
    }
  } failing;
  auto payload = read_frame(failing);
  ASSERT_FALSE(payload);
  EXPECT_EQ(payload.error().kind(), IoError::Kind::Os);
  EXPECT_EQ(payload.error().os_code(), 32);
}

TEST(WriteFrame, WritesLengthThenPayloadAndFlushesOnce) {
  MemoryStream stream({}, 2);
  stream.interrupt_next();
  ASSERT_TRUE(write_frame(stream, bytes("hello\n")));
  EXPECT_EQ(stream.output, frame_bytes(6, "hello\n"));
  EXPECT_EQ(stream.flushes, 1);
}

TEST(WriteFrame, EmptyPayloadIsAZeroLength) {
  MemoryStream stream;
  ASSERT_TRUE(write_frame(stream, {}));
  EXPECT_EQ(stream.output, frame_bytes(0, ""));
}

TEST(WriteFrame, TooLargeWritesNothing) {
  MemoryStream stream;
  Payload payload(MAX_FRAME_LEN + 1);
  auto written = write_frame(stream, payload);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().display(), "frame too large");
  EXPECT_TRUE(stream.output.empty());
  EXPECT_TRUE(write_frame(stream, std::span(payload).first(MAX_FRAME_LEN)));
}

TEST(WriteFrame, StreamAcceptingNothingFails) {
  MemoryStream stream({}, 0);
  auto written = write_frame(stream, bytes("x"));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().kind(), IoError::Kind::WriteZero);
  EXPECT_EQ(written.error().display(), "failed to write whole buffer");
}

TEST(BufferedReader, SmallFramesShareOneReadAndLargeOnesBypassTheBuffer) {
  Payload input;
  for (int i = 0; i < 100; ++i) {
    Payload frame = frame_bytes(3, "abc");
    input.insert(input.end(), frame.begin(), frame.end());
  }
  Payload big(BufferedReader::CAPACITY * 2, std::byte{7});
  Payload header = frame_bytes(static_cast<std::uint32_t>(big.size()), "");
  input.insert(input.end(), header.begin(), header.end());
  input.insert(input.end(), big.begin(), big.end());
  MemoryStream inner(std::move(input));
  BufferedReader reader(inner);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(read_frame(reader).value(), bytes("abc"));
  EXPECT_EQ(inner.reads, 1);
  EXPECT_EQ(read_frame(reader).value(), big);
  EXPECT_LE(inner.reads, 4);
}

}  // namespace
}  // namespace velmora
