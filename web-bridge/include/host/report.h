// The one way the host reports: a line on the error stream, and the ends of the process that go
// with a line (a failure, status 1; the abnormal stop, status 101).
#pragma once

#include <string_view>

#include "errors.h"

namespace velmora {

// Writes "velmora-web-host: " + the error's text + a line feed to the error stream and ends the
// process with status 1 at once, without waiting for the other threads.
[[noreturn]] void report_failure(const HostError& error);

// Writes one "velmora-web-host: " line to the error stream. A missing error stream is skipped;
// any other failure to write stops the process abnormally.
void report_line(std::string_view text);

// The abnormal stop: a report on the error stream, when it can be written, then status 101.
[[noreturn]] void abnormal_stop(std::string_view report);

// Makes an exception that nothing catches (memory running out where no step says otherwise)
// end in the abnormal stop rather than the runtime's abort.
void stop_abnormally_on_escaped_exceptions();

}  // namespace velmora
