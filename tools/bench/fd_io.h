// Blocking reads and writes on descriptors for the benchmark; any failure ends the run with a
// message, since a benchmark over a broken stream measures nothing.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "byte_stream.h"

namespace velmora::bench {

using Buffer = std::vector<std::byte>;

// Prints "relay_bench: <what>" and ends the process with status 2.
[[noreturn]] void fail(const std::string& what);

void write_all(int fd, std::span<const std::byte> bytes);
// Writes the two buffers with as few system calls as the kernel allows.
void write_all(int fd, std::span<const std::byte> first, std::span<const std::byte> second);
void read_exact(int fd, std::span<std::byte> into);

// One whole frame, for the few small messages of the start-up.
void write_frame(int fd, std::string_view payload);
std::string read_frame(int fd);

}  // namespace velmora::bench
