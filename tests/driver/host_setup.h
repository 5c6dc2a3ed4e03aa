// The build under test: the Linux executable run directly, or the Windows executable run by
// Wine. Everything that differs between the two is here, so that each case is written once.
#pragma once

#include <expected>
#include <filesystem>
#include <span>
#include <string>

#include "deadline.h"
#include "host_process.h"

namespace velmora::driver {

enum class HostPlatform { Linux, Wine };

struct HostSetup {
  HostPlatform platform = HostPlatform::Linux;
  std::filesystem::path executable;
  std::filesystem::path wine_loader;  // Wine only
  std::filesystem::path wine_prefix;  // Wine only
  std::filesystem::path probe;        // a program of the host's platform that stands in for
                                      // the agent and reports how it was started

  // From "--host=PATH" and, for the Windows build, "--wine-loader=PATH --wine-prefix=DIR";
  // "--probe=PATH" for the launch cases.
  static std::expected<HostSetup, std::string> from_args(std::span<char* const> args);

  // The same build, run from a copy (or a link) of its executable at `path`.
  HostSetup relocated(std::filesystem::path path) const;
  // The name under which the host looks for the agent beside its own executable.
  std::string agent_file_name() const;
  // A path of this machine as the host's platform writes it.
  std::string native_path(const std::filesystem::path& unix_path) const;

  // The host finding `roaming` (an existing folder) as its roaming application-data folder.
  Command command(const std::filesystem::path& roaming) const;
  // The host finding no roaming folder at all; `scratch` is a folder the test owns.
  Command command_without_roaming(const std::filesystem::path& scratch) const;

  // What the platform adds to a process start before the host runs its first line.
  Duration startup_allowance() const;
};

// Unix path /tmp/x as the Windows program sees it under Wine: Z:\tmp\x.
std::string wine_path(const std::filesystem::path& unix_path);

}  // namespace velmora::driver
