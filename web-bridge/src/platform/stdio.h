// The process's standard streams as byte streams, and their locks.
#pragma once

#include <mutex>
#include <string_view>

#include "byte_stream.h"

namespace velmora::platform {

// Puts descriptors 0 and 1 into binary mode; results are not examined. Also makes sure that a
// standard stream the process was started without cannot be taken over by a later handle.
void prepare_standard_streams();

// Gives standard input and output the larger pipes that large frames cross in fewer turns, while
// bulk traffic passes (a large frame, or a burst): a host that is idle or carries a message now
// and then takes nothing from the pipe budget that all of the user's pipes share. Does nothing
// where pipes keep their size, or once grown. Safe from any thread.
void enlarge_standard_pipes();
// Gives the pipes their own size back once bulk traffic has stopped; nothing if not grown.
void restore_standard_pipes();

// Raw standard input: a closed pipe and a missing handle both read as end of stream.
Reader& standard_input();
// Raw standard output: with no handle at all, writes succeed and the bytes are dropped.
Writer& standard_output();

std::mutex& standard_input_lock();
std::mutex& standard_output_lock();

enum class ErrorStreamWrite { Written, Missing, Failed };
// Writes all of `bytes` to the unbuffered error stream.
ErrorStreamWrite write_error_stream(std::string_view bytes);

}  // namespace velmora::platform
