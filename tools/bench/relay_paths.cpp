#include "relay_paths.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <utility>
#include <vector>

#include "fd_io.h"

extern char** environ;

namespace velmora::bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kFirstMessage = R"({"op":"bench","n":1})";

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void set_no_delay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::pair<int, int> make_pipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) fail(std::string("pipe: ") + std::strerror(errno));
  return {ends[0], ends[1]};
}

struct Child {
  pid_t pid;
  int stdin_writer;
  int stdout_reader;
};

// Starts `argv` with its standard input and output on pipes, its error stream shared.
Child spawn_piped(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  auto [in_read, in_write] = make_pipe();
  auto [out_read, out_write] = make_pipe();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_read, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_write, STDOUT_FILENO);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in_read);
  close(out_write);
  if (error != 0) fail("cannot start " + argv[0] + ": " + std::strerror(error));
  return {pid, in_write, out_read};
}

std::vector<std::string> environment_with(const std::string& extra) {
  std::vector<std::string> env;
  std::string key = extra.substr(0, extra.find('=') + 1);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!std::string_view(*entry).starts_with(key)) env.emplace_back(*entry);
  }
  env.push_back(extra);
  return env;
}

// The agent's side of the start: the handshake when asked, then the first message.
int agent_start(AgentListener& agent, bool handshake) {
  int fd = agent.accept();
  if (handshake) {
    std::string hello = read_frame(fd);
    if (!hello.starts_with(R"({"op":"hello")")) fail("the host sent no hello: " + hello);
    write_frame(fd, R"({"ok":true})");
  }
  if (read_frame(fd) != kFirstMessage) fail("the first message did not arrive unchanged");
  return fd;
}

}  // namespace

AgentListener::AgentListener() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd_, 8) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    fail(std::string("cannot listen on loopback: ") + std::strerror(errno));
  }
  port_ = ntohs(address.sin_port);
}

AgentListener::~AgentListener() {
  if (fd_ >= 0) close(fd_);
}

int AgentListener::accept() {
  for (;;) {
    int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      set_no_delay(fd);
      return fd;
    }
    if (errno != EINTR) fail(std::string("accept: ") + std::strerror(errno));
  }
}

bool is_host(PathKind kind) {
  return kind == PathKind::Host || kind == PathKind::Baseline;
}

Path Path::start(PathKind kind, const PathConfig& config, AgentListener& agent) {
  Path path;
  auto agent_side = std::async(std::launch::async, [&agent, kind] {
    int fd = agent_start(agent, is_host(kind));
    return std::pair(fd, Clock::now());
  });
  const auto started = Clock::now();
  if (kind == PathKind::Direct) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(agent.port());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      fail(std::string("cannot connect to the agent: ") + std::strerror(errno));
    }
    set_no_delay(fd);
    path.extension_out_ = path.extension_in_ = fd;
  } else {
    std::vector<std::string> argv = config.placement;
    if (is_host(kind)) {
      argv.insert(argv.end(), config.wrapper.begin(), config.wrapper.end());
      argv.push_back((kind == PathKind::Host ? config.host : config.baseline).string());
    } else {
      argv.insert(argv.end(), {"socat", "-b", "131072", "STDIO",
                               "TCP:127.0.0.1:" + std::to_string(agent.port()) + ",nodelay"});
    }
    Child child =
        is_host(kind)
            ? spawn_piped(argv, environment_with("XDG_CONFIG_HOME=" + config.roaming.string()))
            : spawn_piped(argv, environment_with("VELMORA_BENCH=1"));
    path.pid_ = child.pid;
    path.extension_out_ = child.stdin_writer;
    path.extension_in_ = child.stdout_reader;
  }
  write_frame(path.extension_out_, kFirstMessage);
  if (is_host(kind)) {
    if (read_frame(path.extension_in_) != R"({"op":"linked"})") fail("no linked notice");
    path.to_linked = Clock::now() - started;
  }
  auto [fd, first_at] = agent_side.get();
  path.agent_ = fd;
  path.to_first_message = first_at - started;
  return path;
}

Path::Path(Path&& other) noexcept
    : to_first_message(other.to_first_message),
      to_linked(other.to_linked),
      pid_(std::exchange(other.pid_, -1)),
      extension_out_(std::exchange(other.extension_out_, -1)),
      extension_in_(std::exchange(other.extension_in_, -1)),
      agent_(std::exchange(other.agent_, -1)) {}

Path::~Path() {
  stop();
}

std::optional<pid_t> Path::relay_pid() const {
  if (pid_ < 0) return std::nullopt;
  return pid_;
}

// The extension goes away first, as a closing browser does; then the agent.
void Path::stop() {
  if (extension_out_ >= 0) close(extension_out_);
  if (agent_ >= 0) close(agent_);
  if (pid_ > 0) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (extension_in_ >= 0 && extension_in_ != extension_out_) close(extension_in_);
  pid_ = extension_out_ = extension_in_ = agent_ = -1;
}

const char* name_of(PathKind kind) {
  switch (kind) {
    case PathKind::Host:
      return "host";
    case PathKind::Baseline:
      return "baseline";
    case PathKind::Socat:
      return "socat";
    case PathKind::Direct:
      return "direct";
  }
  return "?";
}

}  // namespace velmora::bench
