#include "host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "process_stats.h"

extern char** environ;

namespace velmora::driver {

namespace {

// Writing to a host that has already ended must fail as a value, not kill the driver.
void ignore_sigpipe() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

std::vector<std::string> environment_with(const EnvChanges& first, const EnvChanges& second) {
  std::map<std::string, std::string> vars;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    auto equals = text.find('=');
    if (equals != std::string_view::npos) {
      vars[std::string(text.substr(0, equals))] = std::string(text.substr(equals + 1));
    }
  }
  for (const auto* changes : {&first, &second}) {
    for (const auto& [name, value] : *changes) {
      if (value) {
        vars[name] = *value;
      } else {
        vars.erase(name);
      }
    }
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

class SpawnActions {
 public:
  SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  void dup_to(int fd, int target) { ::posix_spawn_file_actions_adddup2(&actions_, fd, target); }
  void close(int fd) { ::posix_spawn_file_actions_addclose(&actions_, fd); }
  void close_from(int fd) { ::posix_spawn_file_actions_addclosefrom_np(&actions_, fd); }
  void chdir(const std::filesystem::path& folder) {
    ::posix_spawn_file_actions_addchdir_np(&actions_, folder.c_str());
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// The child starts with SIGPIPE at its default, as a process started by a browser would, even
// though the driver ignores it: whether a broken output pipe kills it is the child's own choice.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    ::posix_spawnattr_init(&attributes_);
    sigset_t defaults;
    ::sigemptyset(&defaults);
    ::sigaddset(&defaults, SIGPIPE);
    ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
    ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// Copies of `fds` numbered above every descriptor the child's own numbers could collide with, so
// that moving them onto 3, 4, ... in the child never overwrites one still to be moved.
std::expected<std::vector<UniqueFd>, std::string> lifted(const std::vector<int>& fds) {
  constexpr int kAbove = 64;
  std::vector<UniqueFd> out;
  for (int fd : fds) {
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, kAbove));
    if (!copy) return std::unexpected(os_failure("fcntl"));
    out.push_back(std::move(copy));
  }
  return out;
}

struct ChildPipes {
  Pipe in, out, err;
};

// Fills the pipe behind `fd` until a write would block; the descriptor stays blocking.
std::expected<void, std::string> fill_pipe(int fd) {
  if (auto ok = set_nonblocking(fd); !ok) return ok;
  const std::string chunk(4096, '#');
  while (::write(fd, chunk.data(), chunk.size()) > 0) {
  }
  if (errno != EAGAIN) return std::unexpected(os_failure("write"));
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) < 0) {
    return std::unexpected(os_failure("fcntl"));
  }
  return {};
}

std::expected<ChildPipes, std::string> make_child_pipes() {
  auto in = make_pipe();
  auto out = make_pipe();
  auto err = make_pipe();
  if (!in) return std::unexpected(in.error());
  if (!out) return std::unexpected(out.error());
  if (!err) return std::unexpected(err.error());
  return ChildPipes{std::move(*in), std::move(*out), std::move(*err)};
}

}  // namespace

std::string describe(const ExitStatus& status) {
  return status.kind == ExitStatus::Kind::Exited
             ? "exit status " + std::to_string(status.value)
             : "killed by signal " + std::to_string(status.value);
}

std::expected<HostProcess, std::string> HostProcess::start(const Command& command,
                                                           StdinMode stdin_mode,
                                                           const EnvChanges& extra_env) {
  ignore_sigpipe();
  if (command.argv.empty()) return std::unexpected("empty command");
  auto pipes = make_child_pipes();
  if (!pipes) return std::unexpected(pipes.error());

  SpawnActions actions;
  SpawnAttributes attributes;
  if (!command.cwd.empty()) actions.chdir(command.cwd);
  if (stdin_mode == StdinMode::Absent) {
    actions.close(0);
  } else {
    actions.dup_to(pipes->in.read.get(), 0);
  }
  actions.dup_to(pipes->out.write.get(), 1);
  actions.dup_to(pipes->err.write.get(), 2);
  if (command.error_stream_stuck) {
    if (auto full = fill_pipe(pipes->err.write.get()); !full) return std::unexpected(full.error());
  }
  if (stdin_mode != StdinMode::Pipe) pipes->in.write.reset();
  // Each end of a pipe is an open file description of its own: the driver's ends stay as set.
  for (auto [wanted, fd] : {std::pair{command.nonblocking_input, pipes->in.read.get()},
                            std::pair{command.nonblocking_output, pipes->out.write.get()}}) {
    if (!wanted) continue;
    if (auto ok = set_nonblocking(fd); !ok) return std::unexpected(ok.error());
  }
  auto inherited = lifted(command.inherited);
  if (!inherited) return std::unexpected(inherited.error());
  for (std::size_t i = 0; i < inherited->size(); ++i) {
    actions.dup_to((*inherited)[i].get(), 3 + static_cast<int>(i));
  }
  // As a browser starts it: whatever else the driver's own starter left open stays out.
  actions.close_from(3 + static_cast<int>(inherited->size()));

  std::vector<std::string> args = command.argv;
  std::vector<std::string> env = environment_with(command.env, extra_env);
  auto argv = pointers_to(args);
  auto envp = pointers_to(env);
  pid_t pid = -1;
  int error =
      ::posix_spawn(&pid, argv[0], actions.get(), attributes.get(), argv.data(), envp.data());
  if (error != 0) {
    return std::unexpected("cannot start " + command.argv[0] + ": " + std::strerror(error));
  }
  UniqueFd unread_stderr;
  if (command.error_stream_stuck) unread_stderr = std::move(pipes->err.read);
  HostProcess process(pid, std::move(pipes->in.write), std::move(pipes->out.read),
                      std::move(pipes->err.read));
  process.unread_stderr_ = std::move(unread_stderr);
  for (const UniqueFd* fd : {&process.stdin_, &process.stdout_, &process.stderr_}) {
    if (*fd) {
      if (auto ok = set_nonblocking(fd->get()); !ok) return std::unexpected(ok.error());
    }
  }
  return process;
}

HostProcess::HostProcess(HostProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(std::exchange(other.status_, std::nullopt)),
      stdin_(std::move(other.stdin_)),
      stdout_(std::move(other.stdout_)),
      stdout_frames_(std::move(other.stdout_frames_)),
      stderr_(std::move(other.stderr_)),
      unread_stderr_(std::move(other.unread_stderr_)),
      stderr_text_(std::move(other.stderr_text_)),
      stderr_scanned_(other.stderr_scanned_),
      stdout_scan_(std::move(other.stdout_scan_)),
      stderr_scan_(std::move(other.stderr_scan_)) {}

// Whatever the child wrote and the test never looked at is scanned for tokens too.
HostProcess::~HostProcess() {
  if (pid_ < 0) return;
  if (!status_) reap_after_kill();
  unread_output();
  error_output();
}

void HostProcess::reap_after_kill() {
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::expected<void, WriteError> HostProcess::write(std::string_view bytes, Duration limit) {
  if (!stdin_) return std::unexpected(WriteError::Closed);
  return write_all(stdin_.get(), bytes, Deadline(limit));
}

std::expected<void, WriteError> HostProcess::write_frame(std::string_view payload, Duration limit) {
  return write(frame(payload), limit);
}

std::expected<Bytes, ReadError> HostProcess::read_frame(Duration limit) {
  auto payload = stdout_frames_.read(stdout_.get(), Deadline(limit));
  if (payload) {
    stdout_scan_.scan(length_prefix(static_cast<std::uint32_t>(payload->size())));
    stdout_scan_.scan(*payload);
  }
  return payload;
}

Bytes HostProcess::unread_output() {
  Bytes rest = stdout_frames_.take_rest(stdout_.get());
  stdout_scan_.scan(rest);
  return rest;
}

bool HostProcess::try_reap() {
  if (status_) return true;
  int raw = 0;
  pid_t got = ::waitpid(pid_, &raw, WNOHANG);
  if (got != pid_) return false;
  status_ = WIFSIGNALED(raw) ? ExitStatus{ExitStatus::Kind::Signalled, WTERMSIG(raw)}
                             : ExitStatus::exited(WEXITSTATUS(raw));
  return true;
}

// Waits up to `wait_ms` for error output, keeping the pipe drained so that a chatty child
// never blocks on it.
void HostProcess::collect_stderr(int wait_ms) {
  if (!stderr_) {
    std::this_thread::sleep_for(Duration(wait_ms));
    return;
  }
  pollfd entry{stderr_.get(), POLLIN, 0};
  if (::poll(&entry, 1, wait_ms) > 0 && !read_available(stderr_.get(), stderr_text_)) {
    stderr_.reset();
  }
  scan_new_stderr();
}

std::optional<ExitStatus> HostProcess::exit_within(Duration limit) {
  Deadline deadline(limit);
  while (!try_reap()) {
    if (deadline.passed()) return std::nullopt;
    collect_stderr(deadline.poll_ms(Duration(10)));
  }
  return status_;
}

std::expected<ExitStatus, std::string> HostProcess::wait(Duration limit) {
  if (auto status = exit_within(limit)) return *status;
  reap_after_kill();
  status_ = ExitStatus{ExitStatus::Kind::Signalled, SIGKILL};
  return std::unexpected("still running after " + std::to_string(limit.count()) + " ms; killed");
}

// Read from /proc: the count that wait4() gives includes the memory of the driver that
// started the child, from before its program was loaded.
std::optional<long> peak_memory_kib(pid_t pid) {
  long kib = status_kib(pid, "VmHWM");
  return kib < 0 ? std::nullopt : std::optional<long>(kib);
}

const std::string& HostProcess::error_output() {
  if (stderr_ && !read_available(stderr_.get(), stderr_text_)) stderr_.reset();
  scan_new_stderr();
  return stderr_text_;
}

void HostProcess::scan_new_stderr() {
  stderr_scan_.scan(std::string_view(stderr_text_).substr(stderr_scanned_));
  stderr_scanned_ = stderr_text_.size();
}

}  // namespace velmora::driver
