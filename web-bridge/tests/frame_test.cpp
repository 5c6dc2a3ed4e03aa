#include "frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "buffer_pool.h"
#include "test.h"

namespace velmora {
namespace {

using test::bytes;
using test::MemoryStream;

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

TEST(WriteFrame, WritesLengthThenPayload) {
  MemoryStream stream({}, 2);
  stream.interrupt_next();
  ASSERT_TRUE(write_frame(stream, bytes("hello\n")));
  EXPECT_EQ(stream.output, frame_bytes(6, "hello\n"));
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

// Hands out its reads as scripted, each at most what is asked for; an empty one is an
// interrupted read, and the end of the script the end of the stream.
class ScriptedReader final : public Reader {
 public:
  explicit ScriptedReader(std::vector<Payload> reads) : reads_(reads.begin(), reads.end()) {}
  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override {
    if (reads_.empty()) return 0;
    Payload& next = reads_.front();
    if (next.empty()) {
      reads_.pop_front();
      return std::unexpected(IoError::os(4, true));
    }
    std::size_t count = std::min(into.size(), next.size());
    std::copy_n(next.begin(), count, into.begin());
    next.erase(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(count));
    if (next.empty()) reads_.pop_front();
    return count;
  }

 private:
  std::deque<Payload> reads_;
};

Payload join(std::initializer_list<Payload> parts) {
  Payload out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A frame whose payload bytes count up, so that a misplaced piece shows.
Payload numbered_frame(std::size_t length) {
  Payload payload(length);
  for (std::size_t i = 0; i < length; ++i) payload[i] = std::byte(i % 251);
  return test::frame_of(payload);
}

// Keeps what is written and where the last of it lay.
struct Recorder final : Writer {
  std::expected<std::size_t, IoError> write(std::span<const std::byte> data) override {
    bytes.insert(bytes.end(), data.begin(), data.end());
    end = data.data() + data.size();
    return data.size();
  }
  Payload bytes;
  const std::byte* end = nullptr;
};

Payload cut(const Payload& bytes, std::size_t from, std::size_t to = SIZE_MAX) {
  return Payload(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(std::min(to, bytes.size())));
}

TEST(ReadFrames, WholeBufferedFramesTogetherElseALargeFrameInItsOwnBuffer) {
  const Payload a = frame_bytes(1, "a");
  const Payload bc = frame_bytes(2, "bc");
  const Payload zero = frame_bytes(0, "");
  const Payload too_long = frame_bytes(MAX_FRAME_LEN + 1, "x");
  Payload big = frame_bytes(BufferedReader::CAPACITY * 2, "");
  big.resize(4 + BufferedReader::CAPACITY * 2, std::byte{7});
  const Payload pieces = numbered_frame(LARGE_PIECE * 2 + 5);  // three pieces, the last short
  const Payload interrupted;
  const char* eof = "failed to fill whole buffer";
  struct Case {
    std::vector<Payload> reads;
    std::vector<Payload> runs;  // what each call yields, in order
    std::vector<bool> own;      // whether that run came in a buffer of its own
    const char* error;          // what the call after them gives
  };
  const Case cases[] = {
      {{join({a, bc})}, {join({a, bc})}, {false}, eof},
      {{join({a, cut(bc, 0, 3)}), cut(bc, 3)}, {a, bc}, {false, false}, eof},
      // A frame cut across reads goes out with those behind it, in one run.
      {{join({a, cut(bc, 0, 5)}), join({cut(bc, 5), a})}, {a, join({bc, a})}, {false, false}, eof},
      {{interrupted, a, interrupted, join({bc, cut(a, 0, 2)}), interrupted, cut(a, 2)},
       {a, bc, a},
       {false, false, false},
       eof},
      {{join({a, zero, bc})}, {a}, {false}, "bad frame length"},
      {{too_long}, {}, {}, "bad frame length"},
      {{cut(a, 0, 3)}, {}, {}, eof},
      {{cut(a, 0, 4)}, {}, {}, eof},
      {{join({a, big, bc, pieces})}, {a, big, bc, pieces}, {false, true, false, true}, eof},
  };
  auto pool = std::make_shared<BufferPool>();
  for (std::size_t row = 0; row < std::size(cases); ++row) {
    const Case& c = cases[row];
    ScriptedReader stream(c.reads);
    BufferedReader input(stream);
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
      auto run = read_frames(input, *pool);
      ASSERT_TRUE(run) << "row " << row << " run " << i;
      Recorder out;
      ASSERT_TRUE(std::move(*run).write_to(out)) << "row " << row << " run " << i;
      EXPECT_EQ(out.bytes, c.runs[i]) << "row " << row << " run " << i;
      // A run still in the reader's buffer ends where the bytes buffered after it begin.
      EXPECT_EQ(out.end != input.buffered().data(), c.own[i]) << "row " << row << " run " << i;
    }
    auto end = read_frames(input, *pool);
    ASSERT_FALSE(end) << "row " << row;
    EXPECT_EQ(end.error().display(), c.error) << "row " << row;
  }
}

TEST(WireFrames, FirstPayloadIsThePayloadOfTheFirstFrame) {
  Payload scratch;
  EXPECT_TRUE(std::ranges::equal(
      WireFrames{join({frame_bytes(2, "bc"), frame_bytes(1, "a")})}.first_payload(scratch),
      bytes("bc")));
  // Bytes that are not whole frames give only what they hold.
  EXPECT_TRUE(
      std::ranges::equal(WireFrames{frame_bytes(5, "ab")}.first_payload(scratch), bytes("ab")));
  EXPECT_TRUE(WireFrames{bytes("ab")}.first_payload(scratch).empty());
  // A payload in several pieces is looked at whole.
  const Payload pieces = numbered_frame(LARGE_PIECE + 3);
  MemoryStream stream(pieces);
  BufferedReader input(stream);
  auto run = read_frames(input, *std::make_shared<BufferPool>());
  ASSERT_TRUE(run);
  EXPECT_TRUE(std::ranges::equal(std::move(*run).take().first_payload(scratch),
                                 std::span(pieces).subspan(4)));
}

}  // namespace
}  // namespace velmora
