#include <fcntl.h>
#include <linux/close_range.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

#include "platform/process.h"

extern char** environ;

namespace velmora::platform {

const char AGENT_FILE_NAME[] = "velmora-agent";

[[noreturn]] void wait_for_the_end();

void exit_process(int status) {
  if (!claim_process_end()) wait_for_the_end();
  _exit(status);
}

std::expected<std::filesystem::path, IoError> running_executable_final_path() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::unexpected(IoError::os(error.value()));
  return path;
}

namespace {

struct SpawnActions {
  posix_spawn_file_actions_t actions{};
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

}  // namespace

std::expected<void, IoError> start_detached_process(const std::filesystem::path& program) {
  // Only the three standard descriptors may reach the agent, whatever the host was given.
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  SpawnActions spawn;
  posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string path = program.native();
  char* argv[] = {path.data(), nullptr};
  pid_t child = 0;
  int error = posix_spawn(&child, path.c_str(), &spawn.actions, nullptr, argv, environ);
  if (error != 0) return std::unexpected(IoError::os(error));
  return {};
}

}  // namespace velmora::platform
