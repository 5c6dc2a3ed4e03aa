// Reads and writes on non-blocking descriptors, each bounded by a deadline.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "bytes.h"
#include "deadline.h"

namespace velmora::driver {

enum class ReadError {
  TimedOut,     // the deadline passed first
  EndOfStream,  // the writer closed before the bytes were complete
  BadLength,    // a frame announced more than the largest frame
  Failed,       // the system refused the read
};

enum class WriteError {
  TimedOut,    // the deadline passed with bytes left
  Closed,      // the writer's own end is closed already
  ReaderGone,  // nobody reads the other end any more
  Failed,      // the system refused the write
};

const char* describe(ReadError error);
const char* describe(WriteError error);

// Frames from a descriptor. The bytes of a frame still incomplete when a read times out are
// kept for the next call, so a time-out never puts the stream out of step.
class FrameReader {
 public:
  // One frame's payload; a length of 0 reads as an empty payload.
  std::expected<Bytes, ReadError> read(int fd, const Deadline& deadline);
  // The bytes of an incomplete frame, and whatever `fd` (if open) has ready now.
  Bytes take_rest(int fd);

 private:
  std::expected<void, ReadError> fill(int fd, std::size_t count, const Deadline& deadline);

  Bytes pending_;
};

// Whatever is ready now, appended to `out`; false once the stream has ended or failed.
bool read_available(int fd, Bytes& out);

// All the bytes, or why not.
std::expected<void, WriteError> write_all(int fd, std::string_view bytes, const Deadline& deadline);

}  // namespace velmora::driver
