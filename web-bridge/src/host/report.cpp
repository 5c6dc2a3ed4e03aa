#include "host/report.h"

#include <exception>
#include <new>
#include <string>

#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

void report_line(std::string_view text) {
  std::string line = "velmora-web-host: ";
  line.append(text);
  line += '\n';
  if (platform::write_error_stream(line) == platform::ErrorStreamWrite::Failed) {
    platform::exit_process(101);
  }
}

// The end is claimed before the line is written: a thread ending the process quietly in
// between must not leave a line beside its status 0.
void report_failure(const HostError& error) {
  if (platform::claim_process_end(1)) report_line(error.display());
  platform::exit_process(1);
}

// Allocates nothing: it may be running because memory ran out.
void abnormal_stop(std::string_view report) {
  if (platform::claim_process_end(101)) {
    platform::write_error_stream(report);
    platform::write_error_stream("\n");
  }
  platform::exit_process(101);
}

namespace {

[[noreturn]] void stop_on_escaped_exception() {
  std::string_view report = "velmora-web-host: abnormal stop: uncaught exception";
  try {
    if (auto escaped = std::current_exception()) std::rethrow_exception(escaped);
  } catch (const std::bad_alloc&) {
    report = "velmora-web-host: abnormal stop: out of memory";
  } catch (...) {  // NOLINT(bugprone-empty-catch): the report above already says it
  }
  abnormal_stop(report);
}

}  // namespace

void stop_abnormally_on_escaped_exceptions() {
  std::set_terminate(stop_on_escaped_exception);
}

}  // namespace velmora
