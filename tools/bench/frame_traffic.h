// The benchmark's frames: each payload starts with its sequence number (8 bytes, little-endian)
// and goes on with a fixed pattern, so the far end can tell a lost, repeated, reordered or
// altered frame from the real thing. Senders pack many small frames into one write, as a busy
// peer would; receivers check every byte.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::bench {

// Sends `count` frames of `size` payload bytes (at least 8).
void send_frames(int fd, std::size_t size, std::uint64_t count);
// Reads exactly `count` such frames and checks each one; ends the run on any difference.
void expect_frames(int fd, std::size_t size, std::uint64_t count);
// Sends back every frame of `size` bytes that arrives, `count` times.
void echo_frames(int fd, std::size_t size, std::uint64_t count);
// Sends one frame and waits for it to come back, `count` times; gives each round trip.
std::vector<std::chrono::nanoseconds> round_trips(int out, int in, std::size_t size,
                                                  std::uint64_t count);

}  // namespace velmora::bench
