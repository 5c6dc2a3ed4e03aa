#include "host_fixture.h"

#include <utility>

namespace velmora::blackbox {

namespace {

HostSetup& setup_storage() {
  static HostSetup setup;
  return setup;
}

}  // namespace

void set_host_setup(HostSetup setup) {
  setup_storage() = std::move(setup);
}
const HostSetup& host_setup() {
  return setup_storage();
}

void HostTest::SetUp() {
  forget_secrets();
  take_secret_sightings();
  auto tmp = TempDir::create();
  ASSERT_TRUE(tmp) << tmp.error();
  tmp_ = std::move(*tmp);
  std::error_code error;
  std::filesystem::create_directories(roaming(), error);
  ASSERT_FALSE(error) << error.message();
}

void HostTest::TearDown() {
  for (const std::string& sighting : take_secret_sightings()) ADD_FAILURE() << sighting;
}

std::expected<HostProcess, std::string> HostTest::start(StdinMode stdin_mode,
                                                        const EnvChanges& extra_env) const {
  return HostProcess::start(host_setup().command(roaming()), stdin_mode, extra_env);
}

std::expected<HostProcess, std::string> HostTest::start_without_roaming(
    StdinMode stdin_mode) const {
  return HostProcess::start(host_setup().command_without_roaming(scratch()), stdin_mode);
}

testing::AssertionResult Succeeded(const std::expected<void, std::string>& result) {
  if (result) return testing::AssertionSuccess();
  return testing::AssertionFailure() << result.error();
}

testing::AssertionResult Succeeded(const std::expected<void, WriteError>& result) {
  if (result) return testing::AssertionSuccess();
  return testing::AssertionFailure() << describe(result.error());
}

testing::AssertionResult EndsWith(HostProcess& host, ExitStatus status,
                                  std::string_view error_output, Duration bound) {
  auto ended = host.wait(bound);
  const std::string& written = host.error_output();
  if (ended && *ended == status && written == error_output) return testing::AssertionSuccess();
  auto failure = testing::AssertionFailure();
  failure << "expected " << describe(status) << " within " << bound.count() << " ms, got "
          << (ended ? describe(*ended) : ended.error());
  return failure << "\n  error stream: " << testing::PrintToString(written)
                 << "\n  expected:     " << testing::PrintToString(std::string(error_output));
}

testing::AssertionResult ExitsWith(HostProcess& host, ExitStatus status, Duration bound) {
  auto ended = host.wait(bound);
  if (ended && *ended == status) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "expected " << describe(status) << " within " << bound.count() << " ms, got "
         << (ended ? describe(*ended) : ended.error())
         << "\n  error stream: " << testing::PrintToString(host.error_output());
}

testing::AssertionResult EndsQuietly(HostProcess& host, Duration bound) {
  return EndsWith(host, ExitStatus::exited(0), "", bound);
}

testing::AssertionResult StaysAlive(HostProcess& host, Duration span) {
  auto ended = host.exit_within(span);
  if (!ended) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "ended within " << span.count() << " ms with " << describe(*ended)
         << ", error stream: " << testing::PrintToString(host.error_output());
}

}  // namespace velmora::blackbox
