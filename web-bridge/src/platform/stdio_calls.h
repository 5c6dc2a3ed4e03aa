// The system calls behind standard input and output, one set in each of stdio-posix.cpp and
// stdio-win32.cpp; stdio.cpp makes the two streams of them. Callers hold the stream's lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <span>

#include "byte_stream.h"
#include "errors.h"

namespace velmora::platform::stdio_calls {

std::expected<std::size_t, IoError> read_input(std::span<std::byte> into);
// Polls, without sleeping, until a read of standard input would not block or `limit` has
// passed; a stream that cannot be asked counts as ready.
void await_input(std::chrono::microseconds limit);
std::expected<std::size_t, IoError> write_output(std::span<const std::byte> bytes);
std::expected<std::size_t, IoError> write_output_gathered(std::span<const ByteSpan> buffers);

}  // namespace velmora::platform::stdio_calls
