#include "errors.h"

namespace velmora {

std::string IoError::display() const {
  if (!is_os()) return text_;
  return os_error_message(code_) + " (os error " + std::to_string(code_) + ")";
}

std::string BridgeError::display() const {
  switch (kind_) {
    case Kind::NotConnected:
      // Fixed by the product's contract, although it is the agent that cannot be reached: the
      // extension's side matches this text. Do not reword it.
      return text_.empty() ? "the browser extension is not connected"
                           : "the browser extension is not connected: " + text_;
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
      return text_.empty() ? "NotConnected" : "NotConnected(" + escaped_quoted(text_) + ")";
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

}  // namespace velmora
