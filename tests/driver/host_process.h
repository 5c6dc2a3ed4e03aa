// A child process whose standard streams are pipes held by the test: raw bytes and frames go
// in, frames come out, and its exit status and error stream are collected, all with time-outs.
#pragma once

#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "deadline.h"
#include "fd_io.h"
#include "secrets.h"
#include "unique_fd.h"

namespace velmora::driver {

// Changes to the driver's own environment, applied in order: a value sets, nothing unsets.
using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct Command {
  std::vector<std::string> argv;  // argv[0] is an absolute path; nothing is searched
  EnvChanges env;
  std::filesystem::path cwd{};      // the child's current folder; empty keeps the driver's
  std::vector<int> inherited{};     // open descriptors the child holds too, as 3, 4, ...
  bool error_stream_stuck = false;  // the child's error stream: a full pipe nobody reads
  // O_NONBLOCK on the child's own ends of its input and output pipes, as a parent or a sibling
  // sharing them may set it.
  bool nonblocking_input = false;
  bool nonblocking_output = false;
};

enum class StdinMode {
  Pipe,   // a pipe that the test writes and closes
  Ended,  // a pipe whose writing end is closed before the start: end of input at once
  Absent  // no descriptor 0 at all in the child
};

struct ExitStatus {
  enum class Kind { Exited, Signalled } kind;
  int value;  // exit code or signal number

  static ExitStatus exited(int code) { return {Kind::Exited, code}; }
  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

std::string describe(const ExitStatus& status);

// A running process's peak resident memory so far in KiB (its VmHWM), from any thread; nothing
// once it has ended.
std::optional<long> peak_memory_kib(pid_t pid);

class HostProcess {
 public:
  static std::expected<HostProcess, std::string> start(const Command& command,
                                                       StdinMode stdin_mode = StdinMode::Pipe,
                                                       const EnvChanges& extra_env = {});

  HostProcess(HostProcess&& other) noexcept;
  HostProcess& operator=(HostProcess&&) = delete;
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;
  // A child still running is killed and reaped.
  ~HostProcess();

  std::expected<void, WriteError> write(std::string_view bytes,
                                        Duration limit = std::chrono::seconds(30));
  std::expected<void, WriteError> write_frame(std::string_view payload,
                                              Duration limit = std::chrono::seconds(30));
  std::expected<Bytes, ReadError> read_frame(Duration limit);
  void close_stdin() { stdin_.reset(); }
  // The browser going away from the host's output: later writes there fail.
  void close_stdout() { stdout_.reset(); }
  // Output bytes not taken as frames yet, including what is ready in the pipe now; after the
  // child has exited this is all it wrote beyond the frames read.
  Bytes unread_output();

  // The status if the child ends within `limit`; nothing if it is still running then.
  std::optional<ExitStatus> exit_within(Duration limit);
  // The status, or an error after killing a child that outlived `limit`.
  std::expected<ExitStatus, std::string> wait(Duration limit);

  // What the child wrote to its error stream so far; complete once it has exited. The pipe's
  // end is not waited for: under Wine the server that the child starts keeps it open.
  const std::string& error_output();

  pid_t pid() const { return pid_; }

 private:
  HostProcess(pid_t pid, UniqueFd in, UniqueFd out, UniqueFd err)
      : pid_(pid), stdin_(std::move(in)), stdout_(std::move(out)), stderr_(std::move(err)) {}
  bool try_reap();
  void reap_after_kill();
  void collect_stderr(int wait_ms);
  void scan_new_stderr();

  pid_t pid_ = -1;
  std::optional<ExitStatus> status_;
  UniqueFd stdin_;
  UniqueFd stdout_;
  FrameReader stdout_frames_;
  UniqueFd stderr_;
  UniqueFd unread_stderr_;  // held open, never read: keeps a stuck error stream stuck
  std::string stderr_text_;
  std::size_t stderr_scanned_ = 0;
  SecretScan stdout_scan_{"standard output"};
  SecretScan stderr_scan_{"error stream"};
};

}  // namespace velmora::driver
