#include "traffic.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace velmora::driver {

namespace {

constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr double kLargestSmallSizeLog2 = 20.0;  // 1 MiB
constexpr std::uint64_t kOneLargestIn = 256;
constexpr std::uint64_t kAlwaysLargest = 3;  // so that even a short run carries one

// splitmix64: a well-mixed value from any input.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

void put_le(Bytes& out, std::size_t at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i)
    out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t get_le(std::string_view bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  }
  return value;
}

// The pattern of a frame too short for a header.
Bytes tiny_payload(std::uint64_t sequence, std::size_t size) {
  Bytes out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>(mix(sequence * 64 + i) & 0xFF);
  return out;
}

}  // namespace

std::uint64_t checksum(std::string_view bytes) {
  std::uint64_t hash = kFnvOffset;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + i, 8);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    hash = (hash ^ word) * kFnvPrime;
  }
  for (; i < bytes.size(); ++i) hash = (hash ^ static_cast<unsigned char>(bytes[i])) * kFnvPrime;
  return hash;
}

std::size_t FrameSource::size_of(std::uint64_t sequence) const {
  std::uint64_t draw = mix(seed_ ^ mix(sequence));
  if (sequence == kAlwaysLargest || draw % kOneLargestIn == 0) return MAX_FRAME_LEN;
  double unit = static_cast<double>(draw >> 11) * 0x1.0p-53;
  return std::max<std::size_t>(1,
                               static_cast<std::size_t>(std::exp2(unit * kLargestSmallSizeLog2)));
}

Bytes FrameSource::payload_of(std::uint64_t sequence) const {
  std::size_t size = size_of(sequence);
  if (size < kHeaderSize) return tiny_payload(sequence, size);
  Bytes out(size, '\0');
  std::uint64_t state = mix(seed_ + sequence);
  for (std::size_t at = kHeaderSize; at < size; at += 8) {
    state = mix(state);
    put_le(out, at, state, std::min<std::size_t>(8, size - at));
  }
  put_le(out, 0, sequence, 8);
  put_le(out, 8, size, 4);
  put_le(out, 12, checksum(std::string_view(out).substr(kHeaderSize)), 8);
  return out;
}

Bytes FrameSource::next() {
  Bytes payload = payload_of(count_.frames);
  ++count_.frames;
  count_.bytes += payload.size();
  if (payload.size() == MAX_FRAME_LEN) ++count_.largest;
  return payload;
}

std::optional<std::string> FrameCheck::take(std::string_view payload) {
  const std::uint64_t sequence = count_.frames;
  const std::string where = "frame " + std::to_string(sequence) + ": ";
  const std::size_t size = source_.size_of(sequence);
  if (payload.size() != size) {
    return where + std::to_string(payload.size()) + " bytes, expected " + std::to_string(size);
  }
  if (size < FrameSource::kHeaderSize) {
    if (payload != source_.payload_of(sequence)) return where + "wrong contents";
  } else {
    if (get_le(payload, 0, 8) != sequence) {
      return where + "carries sequence number " + std::to_string(get_le(payload, 0, 8));
    }
    if (get_le(payload, 8, 4) != size) return where + "carries a wrong length";
    if (get_le(payload, 12, 8) != checksum(payload.substr(FrameSource::kHeaderSize))) {
      return where + "checksum mismatch";
    }
  }
  ++count_.frames;
  count_.bytes += size;
  if (size == MAX_FRAME_LEN) ++count_.largest;
  return std::nullopt;
}

}  // namespace velmora::driver
