#include <dirent.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "launch_probe.h"

namespace velmora::launch_probe {

namespace {

// What descriptor `fd` refers to, as /proc shows it ("/dev/null", "pipe:[123]", ...).
std::string target_of(int fd) {
  std::error_code error;
  auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
  return error ? "closed" : target.string();
}

}  // namespace

std::string describe(StandardStream stream) {
  std::string target = target_of(stream == StandardStream::Input ? 0 : 1);
  return target == "/dev/null" ? "null" : target;
}

std::string held_beyond_standard_streams() {
  std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir("/proc/self/fd"), ::closedir);
  if (!folder) return "unknown";
  std::string held;
  while (const dirent* entry = ::readdir(folder.get())) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == ::dirfd(folder.get())) continue;
    held += (held.empty() ? "" : " ") + std::to_string(fd) + ":" + target_of(fd);
  }
  return held.empty() ? "none" : held;
}

std::string platform_lines() {
  sigset_t blocked;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  std::string ignored;
  std::string masked;
  auto add = [](std::string& list, int signal) {
    list += (list.empty() ? "" : " ") + std::to_string(signal);
  };
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
      add(ignored, signal);
    }
    if (sigismember(&blocked, signal) == 1) add(masked, signal);
  }
  return "ignored=" + (ignored.empty() ? "none" : ignored) +
         "\nblocked=" + (masked.empty() ? "none" : masked) +
         "\nsession=" + (getsid(0) == getpid() ? "own" : "inherited") + "\n";
}

std::string current_folder() {
  std::error_code error;
  auto folder = std::filesystem::current_path(error);
  return error ? "unknown" : folder.string();
}

}  // namespace velmora::launch_probe
