// A bound on each read from a socket, so that the doctor's hello to whatever holds the agent's
// port cannot wait for ever on a program that never answers.
#pragma once

#include <chrono>

#include "platform/socket.h"

namespace velmora::doctor::system {

// Later reads that wait longer than `limit` fail; false when the system refused the bound, and
// for a limit below 1 ms, which the system would take as no bound at all.
bool limit_reads(const platform::Socket& socket, std::chrono::milliseconds limit);

}  // namespace velmora::doctor::system
