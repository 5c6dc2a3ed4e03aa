// The benchmark's frames: each payload starts with its sequence number (8 bytes, little-endian)
// and goes on with a fixed pattern, so the far end can tell a lost, repeated, reordered or
// altered frame from the real thing. Senders pack many small frames into one write, as a busy
// peer would; receivers check every byte.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::bench {

// Builds the pattern the frames carry (16 MiB) once, before any run is timed, so that the first
// run does not pay for it.
void prepare_frames();
// Sends `count` frames of `size` payload bytes (at least 8); with a rate (bytes per second), no
// faster than that, as a peer that the other end keeps up with.
void send_frames(int fd, std::size_t size, std::uint64_t count, double rate = 0);
// Reads exactly `count` such frames and checks each one; ends the run on any difference. Counts
// the bytes read so far in `read`, when given, for another thread to look at.
void expect_frames(int fd, std::size_t size, std::uint64_t count,
                   std::atomic<std::uint64_t>* read = nullptr);
// Sends back every frame of `size` bytes that arrives, `count` times.
void echo_frames(int fd, std::size_t size, std::uint64_t count);
// Sends one frame and waits for it to come back, `count` times; gives each round trip.
std::vector<std::chrono::nanoseconds> round_trips(int out, int in, std::size_t size,
                                                  std::uint64_t count);

}  // namespace velmora::bench
