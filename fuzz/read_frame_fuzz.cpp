// read_frame over any byte stream, whatever sizes its reads come in. Every frame read must be the
// one the stream's bytes hold, the first failure must be the one they call for, and writing the
// frames back must give their bytes again.
//
// Input: a flags byte (bit 0: read through BufferedReader), a byte whose low 3 bits give the
// number n-1 of plan entries, n plan entries, then the stream. The plan, used in a cycle, shapes
// each call on the stream: 0 hands over all that was asked for, 0xFE is an interrupted call,
// 0xFF a failure of the system (code 5), any other value caps the call at that many bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "byte_stream.h"
#include "frame.h"
#include "fuzz_support.h"

namespace velmora::fuzz {
namespace {

constexpr std::uint8_t WHOLE = 0x00;
constexpr std::uint8_t INTERRUPT = 0xFE;
constexpr std::uint8_t OS_FAILURE = 0xFF;
constexpr std::int64_t OS_CODE = 5;
// Past this many interrupted calls the plan's interruptions are ignored, so a plan of nothing
// else still ends.
constexpr std::size_t MAX_INTERRUPTS = 1000;

class Plan {
 public:
  explicit Plan(std::span<const std::uint8_t> entries) : entries_(entries) {}
  std::uint8_t next() {
    std::uint8_t entry = entries_[at_++ % entries_.size()];
    if (entry == INTERRUPT && ++interrupts_ > MAX_INTERRUPTS) return WHOLE;
    return entry;
  }

 private:
  std::span<const std::uint8_t> entries_;
  std::size_t at_ = 0;
  std::size_t interrupts_ = 0;
};

std::size_t capped(std::uint8_t entry, std::size_t asked) {
  return entry == WHOLE ? asked : std::min<std::size_t>(entry, asked);
}

class PlannedReader final : public Reader {
 public:
  PlannedReader(std::span<const std::byte> stream, Plan plan) : stream_(stream), plan_(plan) {}

  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override {
    std::uint8_t entry = plan_.next();
    if (entry == INTERRUPT) return std::unexpected(IoError::os(4, true));
    if (entry == OS_FAILURE) {
      failed_ = true;
      return std::unexpected(IoError::os(OS_CODE));
    }
    std::size_t count = std::min(capped(entry, into.size()), stream_.size() - consumed_);
    std::copy_n(stream_.begin() + static_cast<std::ptrdiff_t>(consumed_), count, into.begin());
    consumed_ += count;
    return count;
  }
  bool failed() const { return failed_; }
  std::size_t consumed() const { return consumed_; }

 private:
  std::span<const std::byte> stream_;
  Plan plan_;
  std::size_t consumed_ = 0;
  bool failed_ = false;
};

// Accepts what the plan allows; a system failure becomes a write that accepts nothing.
class PlannedWriter final : public Writer {
 public:
  explicit PlannedWriter(Plan plan) : plan_(plan) {}

  std::expected<std::size_t, IoError> write(std::span<const std::byte> bytes) override {
    std::uint8_t entry = plan_.next();
    if (entry == INTERRUPT) return std::unexpected(IoError::os(4, true));
    if (entry == OS_FAILURE) {
      refused_ = true;
      return 0;
    }
    std::size_t count = capped(entry, bytes.size());
    written.insert(written.end(), bytes.begin(),
                   bytes.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
  }
  bool refused() const { return refused_; }

  std::vector<std::byte> written;

 private:
  Plan plan_;
  bool refused_ = false;
};

// What the stream's bytes call for, worked out without the codec.
struct Expected {
  std::vector<std::span<const std::byte>> frames;
  IoError::Kind end = IoError::Kind::UnexpectedEof;
  std::size_t end_offset = 0;  // where the bad length ends, for a bad length
};

std::uint32_t little_endian(std::span<const std::byte> four) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= std::to_integer<std::uint32_t>(four[i]) << (8 * i);
  return value;
}

Expected expected_frames(std::span<const std::byte> stream) {
  Expected out;
  std::size_t at = 0;
  while (stream.size() - at >= 4) {
    std::uint32_t length = little_endian(stream.subspan(at, 4));
    if (length == 0 || length > MAX_FRAME_LEN) {
      out.end = IoError::Kind::InvalidData;
      out.end_offset = at + 4;
      return out;
    }
    if (stream.size() - at - 4 < length) return out;
    out.frames.push_back(stream.subspan(at + 4, length));
    at += 4 + length;
  }
  return out;
}

void check_failure(const IoError& error, const Expected& expected, const PlannedReader& reader,
                   std::size_t frames_read, bool buffered) {
  check(error.kind() != IoError::Kind::Interrupted, "an interrupted read is retried");
  if (reader.failed()) {
    check(error.kind() == IoError::Kind::Os && error.os_code() == OS_CODE,
          "a failure of the system passes through unchanged");
    return;
  }
  check(error.kind() == expected.end, "the stream ends with the failure its bytes call for");
  check(frames_read == expected.frames.size(), "every whole frame is read before the failure");
  if (error.kind() == IoError::Kind::InvalidData) {
    check(error.display() == "bad frame length", "a bad length has its text");
    check(buffered || reader.consumed() == expected.end_offset,
          "a bad length consumes the length field and nothing more");
  } else {
    check(error.display() == "failed to fill whole buffer", "a short stream has its text");
  }
}

std::vector<std::byte> frame_bytes(std::span<const std::byte> payload) {
  auto length = static_cast<std::uint32_t>(payload.size());
  std::vector<std::byte> out;
  for (std::size_t i = 0; i < 4; ++i) out.push_back(static_cast<std::byte>(length >> (8 * i)));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

void check_write_back(const std::vector<Payload>& payloads, Plan plan) {
  PlannedWriter writer(plan);
  std::vector<std::byte> want;
  for (const Payload& payload : payloads) {
    auto written = write_frame(writer, payload);
    if (!written) {
      check(writer.refused() && written.error().kind() == IoError::Kind::WriteZero &&
                written.error().display() == "failed to write whole buffer",
            "only a write that accepts nothing fails, with its text");
      return;
    }
    auto bytes = frame_bytes(payload);
    want.insert(want.end(), bytes.begin(), bytes.end());
    check(writer.written == want, "write_frame puts exactly the frame on the stream");
  }
}

void run(std::span<const std::uint8_t> input) {
  if (input.size() < 2) return;
  bool buffered = (input[0] & 1) != 0;
  std::size_t plan_size = (input[1] & 7u) + 1;
  if (input.size() < 2 + plan_size) return;
  auto plan_entries = input.subspan(2, plan_size);
  auto stream = as_bytes(input.data() + 2 + plan_size, input.size() - 2 - plan_size);

  Expected expected = expected_frames(stream);
  PlannedReader reader(stream, Plan(plan_entries));
  std::optional<BufferedReader> buffer;
  if (buffered) buffer.emplace(reader);
  Reader& source = buffer ? static_cast<Reader&>(*buffer) : reader;

  std::vector<Payload> payloads;
  for (;;) {
    auto payload = read_frame(source);
    if (!payload) {
      check_failure(payload.error(), expected, reader, payloads.size(), buffered);
      break;
    }
    check(!payload->empty() && payload->size() <= MAX_FRAME_LEN, "payload sizes are 1..MAX");
    check(payloads.size() < expected.frames.size(), "no more frames than the stream holds");
    check(std::ranges::equal(*payload, expected.frames[payloads.size()]),
          "each payload is the stream's bytes for that frame");
    payloads.push_back(std::move(*payload));
  }
  check_write_back(payloads, Plan(plan_entries));
}

}  // namespace
}  // namespace velmora::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmora::fuzz::run({data, size});
  return 0;
}
