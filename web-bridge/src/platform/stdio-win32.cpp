#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <chrono>
#include <vector>

#include "platform/stdio.h"
#include "platform/stdio_calls.h"

namespace velmora::platform {

namespace {

bool is_missing(HANDLE handle) {
  return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

// A GUI parent may pass a value that names no handle in this process; it is no stream at all.
bool names_nothing(DWORD error) {
  return error == ERROR_INVALID_HANDLE;
}

// Forgotten before the host opens anything, such a value cannot later name a socket or a file
// of the host's own and have a stream's bytes land there.
void forget_if_dangling(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (is_missing(handle) || GetFileType(handle) != FILE_TYPE_UNKNOWN) return;
  if (names_nothing(GetLastError())) SetStdHandle(which, nullptr);
}

// Zero bytes read from a pipe whose writer is still there were a message of zero bytes, not
// the end: a Windows pipe ends with ERROR_BROKEN_PIPE. (Wine reads the end of a Unix pipe as
// zero bytes; asking the pipe tells the two apart everywhere.)
bool is_open_pipe(HANDLE handle) {
  return GetFileType(handle) == FILE_TYPE_PIPE &&
         PeekNamedPipe(handle, nullptr, 0, nullptr, nullptr, nullptr) != 0;
}

DWORD clamp_io(std::size_t size) {
  return size < MAXDWORD ? static_cast<DWORD>(size) : MAXDWORD;
}

}  // namespace

namespace stdio_calls {

std::expected<std::size_t, IoError> read_input(std::span<std::byte> into) {
  HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  if (is_missing(handle)) return 0;
  for (;;) {
    DWORD count = 0;
    if (ReadFile(handle, into.data(), clamp_io(into.size()), &count, nullptr)) {
      if (count == 0 && is_open_pipe(handle)) continue;
      return count;
    }
    DWORD error = GetLastError();
    // A message longer than the read: the bytes read are good, the rest comes next.
    if (error == ERROR_MORE_DATA) return count;
    if (error == ERROR_BROKEN_PIPE || names_nothing(error)) return 0;
    return std::unexpected(IoError::os(error, error == ERROR_OPERATION_ABORTED));
  }
}

void await_input(std::chrono::microseconds limit) {
  HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  if (is_missing(handle) || GetFileType(handle) != FILE_TYPE_PIPE) return;
  const auto until = std::chrono::steady_clock::now() + limit;
  DWORD waiting = 0;
  while (PeekNamedPipe(handle, nullptr, 0, nullptr, &waiting, nullptr) && waiting == 0 &&
         std::chrono::steady_clock::now() < until) {
    SwitchToThread();  // leaves the processor to any thread that has work for it
  }
}

std::expected<std::size_t, IoError> write_output(std::span<const std::byte> bytes) {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (is_missing(handle)) return bytes.size();
  DWORD count = 0;
  if (WriteFile(handle, bytes.data(), clamp_io(bytes.size()), &count, nullptr)) return count;
  DWORD error = GetLastError();
  if (names_nothing(error)) return bytes.size();
  return std::unexpected(IoError::os(error));
}

// WriteFile cannot gather. Whole small buffers are packed into one write of at most STAGING
// bytes; a buffer that does not fit goes out alone, straight from its own memory.
std::expected<std::size_t, IoError> write_output_gathered(std::span<const ByteSpan> buffers) {
  constexpr std::size_t STAGING = 64 * 1024;
  static std::vector<std::byte> staging;  // the output lock guards it
  std::size_t fitting = 0;
  std::size_t total = 0;
  for (; fitting < buffers.size() && buffers[fitting].size() <= STAGING - total; ++fitting) {
    total += buffers[fitting].size();
  }
  if (fitting <= 1) return buffers.empty() ? 0 : write_output(buffers.front());
  staging.clear();
  for (ByteSpan buffer : buffers.first(fitting)) {
    staging.insert(staging.end(), buffer.begin(), buffer.end());
  }
  return write_output(staging);
}

}  // namespace stdio_calls

void prepare_standard_streams() {
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    forget_if_dangling(which);
  }
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
}

// The browser makes the pipes, and their size with them.
void enlarge_standard_pipes() {}
void restore_standard_pipes() {}

ErrorStreamWrite write_error_stream(std::string_view bytes) {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (is_missing(handle)) return ErrorStreamWrite::Missing;
  while (!bytes.empty()) {
    DWORD count = 0;
    if (!WriteFile(handle, bytes.data(), clamp_io(bytes.size()), &count, nullptr)) {
      return names_nothing(GetLastError()) ? ErrorStreamWrite::Missing : ErrorStreamWrite::Failed;
    }
    if (count == 0) return ErrorStreamWrite::Failed;
    bytes.remove_prefix(count);
  }
  return ErrorStreamWrite::Written;
}

}  // namespace velmora::platform
