// Ending the process, the running executable's own path, and starting the agent's program.
#pragma once

#include <expected>
#include <filesystem>

#include "errors.h"

namespace velmora::platform {

// What a program's file name ends with: ".exe" on Windows, nothing elsewhere.
extern const char EXECUTABLE_SUFFIX[];

// Ends the whole process with `status` at once: no exit handlers, no flushing of C stdio, no
// waiting for locks that other threads hold. Only the first thread to end the process decides
// its status: a thread that comes later gives that thread a moment to write its line, then
// ends the process with the claimed status itself, so a stuck error stream cannot keep the
// process alive.
[[noreturn]] void exit_process(int status);

// Claims the end of the process, with `status`, for the calling thread before it writes what
// goes with that status (an error line). False when another thread claimed it first: the caller
// then writes nothing, and its exit_process ends the process with that thread's status.
bool claim_process_end(int status);

// The running executable's path with every link resolved.
std::expected<std::filesystem::path, IoError> running_executable_final_path();

// A final path in the form that programs show and store: on Windows without the \\?\ prefix of
// the final-path query wherever the path names the same file without it (within MAX_PATH).
std::filesystem::path ordinary_path(const std::filesystem::path& path);

// Starts `program` with no arguments, the host's environment and current directory, the null
// device on its standard input and output and the host's standard error, and no other handle
// of the host. Nothing waits for it.
std::expected<void, IoError> start_detached_process(const std::filesystem::path& program);

}  // namespace velmora::platform
