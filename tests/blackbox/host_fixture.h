// What every case shares: the build under test, a fresh roaming folder per test, and the
// checks on how the host ends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "host_process.h"
#include "host_setup.h"
#include "temp_dir.h"

namespace velmora::blackbox {

// The cases are written in the driver's terms.
using namespace velmora::driver;  // NOLINT(google-build-using-namespace)

void set_host_setup(HostSetup setup);
const HostSetup& host_setup();

// Bounds for "ends at once": generous, since Wine alone may take a second to start a process.
inline constexpr Duration kEndsPromptly = std::chrono::seconds(10);
// An idle stretch well beyond the host's 300 ms wait for a first message.
inline constexpr Duration kIdle = std::chrono::seconds(1);

// Built with a sanitizer, whose runtime keeps memory of its own, uses the temporary folder and
// ends a process that asks for more memory than it supports.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kInstrumented = true;
#else
inline constexpr bool kInstrumented = false;
#endif

class HostTest : public testing::Test {
 protected:
  void SetUp() override;
  // No token of a bridge file reached the host's standard output or error stream.
  void TearDown() override;

  const std::filesystem::path& scratch() const { return tmp_->path(); }
  // Exists from the start of each test; the host takes it as its roaming folder.
  std::filesystem::path roaming() const { return scratch() / "roaming"; }
  bool under_wine() const { return host_setup().platform == HostPlatform::Wine; }
  // kIdle counted from when the host can have started running.
  Duration idle_span() const { return kIdle + host_setup().startup_allowance(); }

  std::expected<HostProcess, std::string> start(StdinMode stdin_mode = StdinMode::Pipe,
                                                const EnvChanges& extra_env = {}) const;
  // What start() runs, for a case that changes it first.
  Command command() const { return host_setup().command(roaming()); }
  std::expected<HostProcess, std::string> start_without_roaming(
      StdinMode stdin_mode = StdinMode::Pipe) const;

 private:
  std::optional<TempDir> tmp_;
};

template <typename Param>
class HostTestWithParam : public HostTest, public testing::WithParamInterface<Param> {};

// Names each instance of a table after its row's `name`.
struct NameOfRow {
  template <typename Param>
  std::string operator()(const testing::TestParamInfo<Param>& info) const {
    return info.param.name;
  }
};

testing::AssertionResult Succeeded(const std::expected<void, std::string>& result);
testing::AssertionResult Succeeded(const std::expected<void, WriteError>& result);

// The host ends within `bound` with `status` and exactly `error_output` on its error stream.
testing::AssertionResult EndsWith(HostProcess& host, ExitStatus status,
                                  std::string_view error_output, Duration bound = kEndsPromptly);
// The host ends within `bound` with `status`, whatever its error stream holds.
testing::AssertionResult ExitsWith(HostProcess& host, ExitStatus status,
                                   Duration bound = kEndsPromptly);
// Status 0 and an empty error stream.
testing::AssertionResult EndsQuietly(HostProcess& host, Duration bound = kEndsPromptly);
// Still running after `span`.
testing::AssertionResult StaysAlive(HostProcess& host, Duration span);

}  // namespace velmora::blackbox
