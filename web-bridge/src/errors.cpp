#include "errors.h"

#include <exception>
#include <new>

#include "platform/os_error.h"
#include "platform/process.h"
#include "platform/stdio.h"

namespace velmora {

std::string IoError::display() const {
  if (!is_os()) return text_;
  return platform::os_error_message(code_) + " (os error " + std::to_string(code_) + ")";
}

std::string BridgeError::display() const {
  switch (kind_) {
    case Kind::NotConnected:
      return "the browser extension is not connected";
    case Kind::Disconnected:
      return "the browser extension disconnected";
    case Kind::Timeout:
      return "the browser extension did not answer in time";
    case Kind::Rejected:
    case Kind::Protocol:
      break;
  }
  return text_;
}

namespace {

std::string escaped_quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

}  // namespace

std::string BridgeError::debug() const {
  switch (kind_) {
    case Kind::NotConnected:
      return "NotConnected";
    case Kind::Disconnected:
      return "Disconnected";
    case Kind::Timeout:
      return "Timeout";
    case Kind::Rejected:
      return "Rejected(" + escaped_quoted(text_) + ")";
    case Kind::Protocol:
      break;
  }
  return "Protocol(" + escaped_quoted(text_) + ")";
}

std::string JsonError::display() const {
  return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string HostError::display() const {
  return std::visit(
      [](const auto& e) -> std::string {
        if constexpr (std::is_same_v<std::decay_t<decltype(e)>, PlainMessage>) {
          return e.text;
        } else {
          return e.display();
        }
      },
      error_);
}

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
