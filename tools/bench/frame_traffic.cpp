#include "frame_traffic.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "fd_io.h"
#include "frame_length.h"

namespace velmora::bench {

namespace {

constexpr std::size_t kSequenceBytes = 8;
// Small frames go out in batches of about this many bytes per write.
constexpr std::size_t kBatchBytes = 256 * 1024;
constexpr std::size_t kReadBytes = 1024 * 1024;

const Buffer& pattern() {
  static const Buffer bytes = [] {
    Buffer out(MAX_FRAME_LEN);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = std::byte((i * 131 + 7) & 0xFF);
    return out;
  }();
  return bytes;
}

void put_length(std::byte* at, std::size_t length) {
  std::ranges::copy(encode_length(length), at);
}

void stamp(std::byte* payload, std::uint64_t sequence) {
  for (std::size_t i = 0; i < kSequenceBytes; ++i) {
    payload[i] = std::byte((sequence >> (8 * i)) & 0xFF);
  }
}

// Holds each write back until `rate` bytes per second allow it; no rate, no wait.
class Pacer {
 public:
  explicit Pacer(double rate) : rate_(rate) {}
  void before(std::size_t bytes) {
    if (rate_ <= 0) return;
    std::this_thread::sleep_until(start_ + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                               std::chrono::duration<double>(sent_ / rate_)));
    sent_ += static_cast<double>(bytes);
  }

 private:
  double rate_;
  double sent_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

void check_size(std::size_t size) {
  if (size < kSequenceBytes || size > MAX_FRAME_LEN) fail("unsupported frame size");
}

// Many frames per write: the batch holds whole frames, restamped for each round.
void send_batched(int fd, std::size_t size, std::uint64_t count, Pacer& pacer) {
  const std::size_t stride = size + 4;
  const std::size_t per_batch = std::max<std::size_t>(1, kBatchBytes / stride);
  Buffer batch(per_batch * stride);
  for (std::size_t i = 0; i < per_batch; ++i) {
    put_length(&batch[i * stride], size);
    std::memcpy(&batch[i * stride + 4], pattern().data(), size);
  }
  for (std::uint64_t sequence = 0; sequence < count;) {
    auto frames = static_cast<std::size_t>(std::min<std::uint64_t>(per_batch, count - sequence));
    for (std::size_t i = 0; i < frames; ++i) stamp(&batch[i * stride + 4], sequence + i);
    pacer.before(frames * stride);
    write_all(fd, std::span(batch).first(frames * stride));
    sequence += frames;
  }
}

void send_one_by_one(int fd, std::size_t size, std::uint64_t count, Pacer& pacer) {
  Buffer payload(pattern().begin(), pattern().begin() + static_cast<std::ptrdiff_t>(size));
  std::array<std::byte, 4> prefix{};
  put_length(prefix.data(), size);
  for (std::uint64_t sequence = 0; sequence < count; ++sequence) {
    stamp(payload.data(), sequence);
    pacer.before(prefix.size() + size);
    write_all(fd, prefix, payload);
  }
}

// Checks bytes [offset, offset + chunk.size()) of frame `sequence`.
void check_chunk(std::span<const std::byte> chunk, std::size_t offset, std::uint64_t sequence) {
  std::size_t i = 0;
  for (; i < chunk.size() && offset + i < kSequenceBytes; ++i) {
    if (chunk[i] != std::byte((sequence >> (8 * (offset + i))) & 0xFF)) {
      fail("frame " + std::to_string(sequence) + " arrived with another sequence number");
    }
  }
  if (std::memcmp(chunk.data() + i, pattern().data() + offset + i, chunk.size() - i) != 0) {
    fail("frame " + std::to_string(sequence) + " arrived altered");
  }
}

// Follows the frame boundaries through whatever pieces the reads deliver.
class FrameChecker {
 public:
  FrameChecker(std::size_t size, std::uint64_t count) : size_(size), count_(count) {}

  bool done() const { return sequence_ == count_; }

  void take(std::span<const std::byte> chunk) {
    while (!chunk.empty()) {
      if (done()) fail("more bytes arrived than were sent");
      chunk = header_have_ < LENGTH_FIELD ? take_header(chunk) : take_payload(chunk);
    }
  }

 private:
  std::span<const std::byte> take_header(std::span<const std::byte> chunk) {
    std::size_t count = std::min(LENGTH_FIELD - header_have_, chunk.size());
    std::ranges::copy(chunk.first(count), header_.begin() + header_have_);
    header_have_ += count;
    if (header_have_ == LENGTH_FIELD && decode_length(header_) != size_) {
      fail("frame " + std::to_string(sequence_) + " has length " +
           std::to_string(decode_length(header_)));
    }
    return chunk.subspan(count);
  }

  std::span<const std::byte> take_payload(std::span<const std::byte> chunk) {
    std::size_t count = std::min(size_ - offset_, chunk.size());
    check_chunk(chunk.first(count), offset_, sequence_);
    offset_ += count;
    if (offset_ == size_) {
      ++sequence_;
      offset_ = 0;
      header_have_ = 0;
    }
    return chunk.subspan(count);
  }

  std::size_t size_;
  std::uint64_t count_;
  std::uint64_t sequence_ = 0;
  std::size_t header_have_ = 0;
  LengthField header_{};
  std::size_t offset_ = 0;
};

}  // namespace

void prepare_frames() {
  pattern();
}

void send_frames(int fd, std::size_t size, std::uint64_t count, double rate) {
  check_size(size);
  Pacer pacer(rate);
  if (size + 4 <= kBatchBytes / 4) {
    send_batched(fd, size, count, pacer);
  } else {
    send_one_by_one(fd, size, count, pacer);
  }
}

void expect_frames(int fd, std::size_t size, std::uint64_t count,
                   std::atomic<std::uint64_t>* read) {
  check_size(size);
  FrameChecker checker(size, count);
  Buffer buffer(kReadBytes);
  while (!checker.done()) {
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) fail(std::string("read: ") + std::strerror(errno));
    if (got == 0) fail("the stream ended before every frame arrived");
    checker.take(std::span(buffer).first(static_cast<std::size_t>(got)));
    if (read) *read += static_cast<std::uint64_t>(got);
  }
}

void echo_frames(int fd, std::size_t size, std::uint64_t count) {
  Buffer frame(size + 4);
  for (std::uint64_t i = 0; i < count; ++i) {
    read_exact(fd, frame);
    write_all(fd, frame);
  }
}

std::vector<std::chrono::nanoseconds> round_trips(int out, int in, std::size_t size,
                                                  std::uint64_t count) {
  check_size(size);
  Buffer frame(size + 4);
  put_length(frame.data(), size);
  std::memcpy(frame.data() + 4, pattern().data(), size);
  Buffer back(size + 4);
  std::vector<std::chrono::nanoseconds> times;
  times.reserve(count);
  for (std::uint64_t sequence = 0; sequence < count; ++sequence) {
    stamp(frame.data() + 4, sequence);
    auto start = std::chrono::steady_clock::now();
    write_all(out, frame);
    read_exact(in, back);
    times.push_back(std::chrono::steady_clock::now() - start);
    if (back != frame) fail("an echoed frame came back altered");
  }
  return times;
}

}  // namespace velmora::bench
