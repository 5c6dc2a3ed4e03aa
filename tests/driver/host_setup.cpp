#include "host_setup.h"

#include <string_view>
#include <utility>

namespace velmora::driver {

namespace fs = std::filesystem;

namespace {

// The prefix's roaming folder is %VELMORA_TEST_ROAMING%, see cmake/wine-prefix.sh.
constexpr const char* kWineRoamingVariable = "VELMORA_TEST_ROAMING";

std::expected<void, std::string> take_option(std::string_view arg, HostSetup& setup) {
  struct Option {
    std::string_view prefix;
    fs::path HostSetup::*field;
  };
  static constexpr Option kOptions[] = {{"--host=", &HostSetup::executable},
                                        {"--wine-loader=", &HostSetup::wine_loader},
                                        {"--wine-prefix=", &HostSetup::wine_prefix},
                                        {"--probe=", &HostSetup::probe}};
  for (const auto& option : kOptions) {
    if (arg.starts_with(option.prefix)) {
      // Absolute, so that a child started in another folder still finds it.
      setup.*option.field = fs::absolute(fs::path(arg.substr(option.prefix.size())));
      return {};
    }
  }
  return std::unexpected("unknown argument " + std::string(arg));
}

Command wine_command(const HostSetup& setup, const fs::path& roaming) {
  return Command{{setup.wine_loader.string(), setup.executable.string()},
                 {{"WINEDEBUG", "-all"},
                  {"WINEPREFIX", setup.wine_prefix.string()},
                  {kWineRoamingVariable, wine_path(roaming)}}};
}

}  // namespace

std::expected<HostSetup, std::string> HostSetup::from_args(std::span<char* const> args) {
  HostSetup setup;
  for (const char* arg : args) {
    if (auto ok = take_option(arg, setup); !ok) return std::unexpected(ok.error());
  }
  if (setup.executable.empty()) return std::unexpected("missing --host=PATH");
  if (setup.wine_loader.empty() != setup.wine_prefix.empty()) {
    return std::unexpected("--wine-loader and --wine-prefix go together");
  }
  if (!setup.wine_loader.empty()) setup.platform = HostPlatform::Wine;
  return setup;
}

Command HostSetup::command(const fs::path& roaming) const {
  if (platform == HostPlatform::Wine) return wine_command(*this, roaming);
  return Command{{executable.string()}, {{"XDG_CONFIG_HOME", roaming.string()}}};
}

Command HostSetup::command_without_roaming(const fs::path& scratch) const {
  // On Windows the known-folder lookup fails when the folder does not exist.
  if (platform == HostPlatform::Wine) return wine_command(*this, scratch / "no-such-folder");
  return Command{{executable.string()},
                 {{"XDG_CONFIG_HOME", std::nullopt}, {"HOME", std::nullopt}}};
}

HostSetup HostSetup::relocated(fs::path path) const {
  HostSetup copy = *this;
  copy.executable = std::move(path);
  return copy;
}

std::string HostSetup::agent_file_name() const {
  return platform == HostPlatform::Wine ? "velmora-agent.exe" : "velmora-agent";
}

std::string HostSetup::native_path(const fs::path& unix_path) const {
  return platform == HostPlatform::Wine ? wine_path(unix_path) : unix_path.string();
}

Duration HostSetup::startup_allowance() const {
  return platform == HostPlatform::Wine ? Duration(1000) : Duration(0);
}

std::string wine_path(const fs::path& unix_path) {
  std::string out = "Z:";
  for (char c : fs::absolute(unix_path).lexically_normal().string()) out += c == '/' ? '\\' : c;
  return out;
}

}  // namespace velmora::driver
