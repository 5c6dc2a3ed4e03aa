// The host's errors: I/O errors of the byte streams, the BridgeError kinds, JSON errors and the
// HostError that every step of the run sequence returns, with their display texts. Values only:
// reporting them is the host's (host/report.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace velmora {

// A failed read or write: either one of the codec's fixed texts or an operating-system code.
class IoError {
 public:
  enum class Kind { InvalidData, UnexpectedEof, WriteZero, Interrupted, Os };

  static IoError invalid_data(std::string_view text) { return {Kind::InvalidData, text, 0}; }
  static IoError unexpected_eof() {
    return {Kind::UnexpectedEof, "failed to fill whole buffer", 0};
  }
  static IoError write_zero() { return {Kind::WriteZero, "failed to write whole buffer", 0}; }
  // `interrupted` marks a call that a signal cut short, to be retried at once.
  static IoError os(std::int64_t code, bool interrupted = false) {
    return {interrupted ? Kind::Interrupted : Kind::Os, {}, code};
  }

  Kind kind() const { return kind_; }
  std::int64_t os_code() const { return code_; }
  bool is_os() const { return kind_ == Kind::Os || kind_ == Kind::Interrupted; }
  // The fixed text, or os_error_message(code) followed by " (os error N)".
  std::string display() const;

 private:
  IoError(Kind kind, std::string_view text, std::int64_t code)
      : kind_(kind), text_(text), code_(code) {}
  Kind kind_;
  std::string text_;
  std::int64_t code_;
};

// The system's message for an error code, trailing whitespace removed, or a fallback that names
// the code. Each build's operating-system layer gives it (strerror_r, FormatMessageW).
std::string os_error_message(std::int64_t code);

class BridgeError {
 public:
  enum class Kind { NotConnected, Disconnected, Timeout, Rejected, Protocol };

  // A reason, when there is one, follows the fixed text.
  static BridgeError not_connected(std::string reason = {}) {
    return {Kind::NotConnected, std::move(reason)};
  }
  // The product's contract names these two with their texts; the host itself never makes them.
  static BridgeError disconnected() { return {Kind::Disconnected, {}}; }
  static BridgeError timeout() { return {Kind::Timeout, {}}; }
  static BridgeError rejected(std::string text) { return {Kind::Rejected, std::move(text)}; }
  static BridgeError protocol(std::string text) { return {Kind::Protocol, std::move(text)}; }

  Kind kind() const { return kind_; }
  std::string display() const;
  // Kind name, with the carried text quoted for Rejected and Protocol; never printed by the host.
  std::string debug() const;

 private:
  BridgeError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

// The parser's description and where it stopped: line from 1, byte column from 1.
struct JsonError {
  std::string description;
  std::size_t line = 1;
  std::size_t column = 0;

  std::string display() const;
};

struct PlainMessage {
  std::string text;
};

class HostError {
 public:
  // Implicit on purpose: each form turns into a HostError at the call site without ceremony.
  HostError(BridgeError e) : error_(std::move(e)) {}   // NOLINT(google-explicit-constructor)
  HostError(IoError e) : error_(std::move(e)) {}       // NOLINT(google-explicit-constructor)
  HostError(JsonError e) : error_(std::move(e)) {}     // NOLINT(google-explicit-constructor)
  HostError(PlainMessage e) : error_(std::move(e)) {}  // NOLINT(google-explicit-constructor)

  std::string display() const;

 private:
  std::variant<BridgeError, IoError, JsonError, PlainMessage> error_;
};

}  // namespace velmora
