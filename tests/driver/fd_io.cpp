#include "fd_io.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "unique_fd.h"

namespace velmora::driver {

namespace {

enum class Ready { Yes, TimedOut, Failed };

Ready wait_for(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    int count = ::poll(&entry, 1, deadline.poll_ms());
    if (count > 0) return Ready::Yes;
    if (count == 0) return Ready::TimedOut;
    if (errno != EINTR) return Ready::Failed;
  }
}

bool would_block_or_interrupted() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

const char* describe(ReadError error) {
  switch (error) {
    case ReadError::TimedOut:
      return "timed out";
    case ReadError::EndOfStream:
      return "end of stream";
    case ReadError::BadLength:
      return "frame length above the largest frame";
    case ReadError::Failed:
      return "read failed";
  }
  return "?";
}

const char* describe(WriteError error) {
  switch (error) {
    case WriteError::TimedOut:
      return "write timed out";
    case WriteError::Closed:
      return "the writing end is closed";
    case WriteError::ReaderGone:
      return "nobody reads any more";
    case WriteError::Failed:
      return "write failed";
  }
  return "?";
}

std::expected<void, ReadError> FrameReader::fill(int fd, std::size_t count,
                                                 const Deadline& deadline) {
  std::array<char, 65536> chunk;
  while (pending_.size() < count) {
    Ready ready = wait_for(fd, POLLIN, deadline);
    if (ready == Ready::TimedOut) return std::unexpected(ReadError::TimedOut);
    if (ready == Ready::Failed) return std::unexpected(ReadError::Failed);
    std::size_t wanted = std::min(chunk.size(), count - pending_.size());
    ssize_t got = ::read(fd, chunk.data(), wanted);
    if (got == 0) return std::unexpected(ReadError::EndOfStream);
    if (got < 0 && would_block_or_interrupted()) continue;
    if (got < 0) return std::unexpected(ReadError::Failed);
    pending_.append(chunk.data(), static_cast<std::size_t>(got));
  }
  return {};
}

std::expected<Bytes, ReadError> FrameReader::read(int fd, const Deadline& deadline) {
  if (auto ok = fill(fd, 4, deadline); !ok) return std::unexpected(ok.error());
  std::uint32_t length = decode_length(pending_);
  if (length > MAX_FRAME_LEN) return std::unexpected(ReadError::BadLength);
  if (auto ok = fill(fd, 4 + std::size_t{length}, deadline); !ok) {
    return std::unexpected(ok.error());
  }
  Bytes payload = pending_.substr(4, length);
  pending_.clear();
  return payload;
}

Bytes FrameReader::take_rest(int fd) {
  if (fd >= 0) read_available(fd, pending_);
  return std::exchange(pending_, {});
}

bool read_available(int fd, Bytes& out) {
  std::array<char, 4096> chunk;
  for (;;) {
    ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got > 0) {
      out.append(chunk.data(), static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

std::expected<void, WriteError> write_all(int fd, std::string_view bytes,
                                          const Deadline& deadline) {
  while (!bytes.empty()) {
    Ready ready = wait_for(fd, POLLOUT, deadline);
    if (ready == Ready::TimedOut) return std::unexpected(WriteError::TimedOut);
    if (ready == Ready::Failed) return std::unexpected(WriteError::Failed);
    ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && would_block_or_interrupted()) continue;
    if (put < 0)
      return std::unexpected(errno == EPIPE ? WriteError::ReaderGone : WriteError::Failed);
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return {};
}

}  // namespace velmora::driver
