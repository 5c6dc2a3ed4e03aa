#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/process.h"
#include "platform/process_calls.h"

extern char** environ;

namespace velmora::platform {

const char EXECUTABLE_SUFFIX[] = "";

void exit_process(int status) {
  _exit(process_calls::status_to_end_with(status));
}

std::expected<std::filesystem::path, IoError> running_executable_final_path() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::unexpected(IoError::os(error.value()));
  return path;
}

// A resolved path here has one form only.
std::filesystem::path ordinary_path(const std::filesystem::path& path) {
  return path;
}

namespace {

struct SpawnActions {
  posix_spawn_file_actions_t actions{};
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

// The agent is a long-lived desktop program: it starts in a session of its own, outside the
// browser's, with every signal at its default and none blocked, whatever the host was given or
// set for itself (it ignores SIGPIPE).
struct SpawnAttributes {
  posix_spawnattr_t attributes{};
  SpawnAttributes() {
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};

}  // namespace

std::expected<void, IoError> start_detached_process(const std::filesystem::path& program) {
  SpawnActions spawn;
  SpawnAttributes attributes;
  // Only the three standard descriptors may reach the agent, whatever the host was given. Closed
  // in the child, where a failure fails the start instead of letting a descriptor through.
  posix_spawn_file_actions_addclosefrom_np(&spawn.actions, 3);
  posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string path = program.native();
  char* argv[] = {path.data(), nullptr};
  pid_t child = 0;
  int error =
      posix_spawn(&child, path.c_str(), &spawn.actions, &attributes.attributes, argv, environ);
  if (error != 0) return std::unexpected(IoError::os(error));
  return {};
}

}  // namespace velmora::platform
