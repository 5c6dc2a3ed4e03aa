#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "errors.h"
#include "platform/unique_fd-posix.h"
#include "system/host_run.h"

extern char** environ;

namespace velmora::doctor::system {

namespace {

using platform::UniqueFd;
using Clock = std::chrono::steady_clock;

// Reads a pipe, but gives up at `end`: the frame codec then sees the end of the stream.
class PipeReader final : public Reader {
 public:
  PipeReader(int fd, Clock::time_point end) : fd_(fd), end_(end) {}
  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now()).count();
    pollfd ready{fd_, POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) return 0;
    ssize_t count = ::read(fd_, into.data(), into.size());
    if (count < 0) return std::unexpected(IoError::os(errno, errno == EINTR));
    return static_cast<std::size_t>(count);
  }

 private:
  int fd_;
  Clock::time_point end_;
};

struct Pipe {
  UniqueFd read, write;
};

std::expected<Pipe, std::string> make_pipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return std::unexpected(velmora::os_error_message(errno));
  return Pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// Started in its own folder, as both browsers do (a wrapper may run "./velmora-web-host"); when
// `through_sh`, by /bin/sh, as execvp runs a file the system cannot.
std::expected<pid_t, std::string> spawn(const std::filesystem::path& host,
                                        const std::string& origin,
                                        const std::array<int, 3>& streams, bool through_sh) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (std::size_t fd = 0; fd < streams.size(); ++fd)
    posix_spawn_file_actions_adddup2(&actions, streams[fd], static_cast<int>(fd));
  posix_spawn_file_actions_addchdir_np(&actions, host.parent_path().c_str());
  std::string program = host.string();
  std::string shell = "/bin/sh";
  std::vector<char*> argv{program.data(), const_cast<char*>(origin.c_str()), nullptr};
  if (through_sh) argv.insert(argv.begin(), shell.data());
  pid_t pid = 0;
  int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return std::unexpected(velmora::os_error_message(error));
  return pid;
}

// The exit status or the signal that ended it; neither when it had to be killed at `end`.
void reap(pid_t pid, Clock::time_point end, HostRun& run) {
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() >= end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFEXITED(status)) run.status = std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const char* name = sigabbrev_np(WTERMSIG(status));
    run.signal = (name ? "SIG" + std::string(name) : "signal " + std::to_string(WTERMSIG(status))) +
                 " (" + strsignal(WTERMSIG(status)) + ")";
  }
}

// Why the system found no file to run although the host exists: the interpreter its "#!" line
// names is missing (a carriage return at the line's end is the usual cause).
std::string missing_interpreter(const std::filesystem::path& host) {
  std::array<char, 256> head{};
  UniqueFd file(open(host.c_str(), O_RDONLY | O_CLOEXEC));
  ssize_t count = file ? ::read(file.get(), head.data(), head.size()) : -1;
  std::string_view line(head.data(), count > 0 ? static_cast<std::size_t>(count) : 0);
  if (!line.starts_with("#!")) return {};
  line = line.substr(2, line.find('\n') - 2);
  auto start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  auto interpreter = line.substr(start, line.find(' ', start) - start);
  if (access(std::string(interpreter).c_str(), X_OK) == 0) return {};
  if (interpreter.ends_with('\r'))
    return "its \"#!\" line ends in a carriage return, so the system looks for the "
           "interpreter \"" +
           std::string(interpreter.substr(0, interpreter.size() - 1)) +
           "\\r\"; save the script with Unix line ends";
  return "the interpreter \"" + std::string(interpreter) +
         "\" that its \"#!\" line names does not exist; install it or correct the line";
}

std::string drain(int fd, Clock::time_point end) {
  PipeReader reader(fd, end);
  return read_text(reader);
}

std::string head_of(const std::filesystem::path& host) {
  std::array<char, 4> head{};
  UniqueFd file(open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  ssize_t count = file ? ::read(file.get(), head.data(), head.size()) : -1;
  return std::string(head.data(), count > 0 ? static_cast<std::size_t>(count) : 0);
}

}  // namespace

bool needs_shell(const std::filesystem::path& host) {
  auto head = head_of(host);
  // A file that cannot be read is left to the system, which says why.
  return !head.empty() && !head.starts_with("#!") && !head.starts_with("\177ELF");
}

std::expected<HostRun, std::string> run_host_once(const std::filesystem::path& host,
                                                  const std::string& origin, Launch launch,
                                                  std::chrono::milliseconds limit) {
  auto in = make_pipe();
  auto out = make_pipe();
  auto err = make_pipe();
  if (!in || !out || !err) return std::unexpected("no pipe for the host");
  auto pid = spawn(host, origin, {in->read.get(), out->write.get(), err->write.get()},
                   launch.script_fallback);
  if (!pid) {
    auto interpreter =
        needs_shell(host)
            ? "its first line is no \"#!\" line naming its interpreter, which this browser needs "
              "(Chromium runs such a file with /bin/sh); add \"#!/bin/sh\""
            : missing_interpreter(host);
    return std::unexpected(interpreter.empty() ? "cannot be started: " + pid.error() : interpreter);
  }
  in->read.reset();
  out->write.reset();
  err->write.reset();
  auto end = Clock::now() + limit;
  HostRun run;
  PipeReader output(out->read.get(), end);
  read_first_frame(output, run);
  in->write.reset();  // as a browser closing the port
  reap(*pid, end + std::chrono::seconds(2), run);
  run.error_stream = drain(err->read.get(), Clock::now() + std::chrono::milliseconds(200));
  return run;
}

}  // namespace velmora::doctor::system
