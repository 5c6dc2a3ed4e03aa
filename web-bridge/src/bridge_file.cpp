#include "bridge_file.h"

#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "json/parse.h"
#include "platform/files.h"

namespace velmora {

namespace {

using Step = JsonVisitor::Step;

// Reads the bridge file's record straight from the parser's events. Values under other keys are
// skipped by counting open brackets alone, so they may nest to any depth without a tree or
// recursion.
class BridgeFileReader final : public JsonVisitor {
 public:
  Step null() override { return scalar(nullptr, nullptr); }
  Step boolean(bool /*value*/) override { return scalar(nullptr, nullptr); }
  Step unsigned_integer(std::uint64_t number) override { return scalar(&number, nullptr); }
  Step negative_integer(std::int64_t /*value*/) override { return scalar(nullptr, nullptr); }
  Step floating(double /*value*/) override { return scalar(nullptr, nullptr); }
  Step string(std::string&& text) override { return scalar(nullptr, &text); }
  Step start_object() override { return open(Form::Object); }
  Step key(std::string&& key) override;
  Step end_object() override { return close(); }
  Step start_array() override { return open(Form::Array); }
  Step end_array() override { return close(); }
  // Strings of skipped values are kept from UTF-8 checks; keys and the token are not.
  bool strict_utf8() const override { return !skipping_; }

  // Only after a successful parse, which has checked that both fields are present.
  BridgeFile take() && { return BridgeFile{*port_, std::move(*token_)}; }

 private:
  enum class Form { Object, Array };
  enum class Field { Port, Token, Other };

  Step open(Form form);
  Step close();
  Step scalar(const std::uint64_t* number, std::string* text);
  Step member(const std::uint64_t* number, std::string* text);
  std::expected<Field, std::string> next_field();
  Step set_port(const std::uint64_t* number);
  Step set_token(std::string* text);
  Step check_complete() const;

  std::size_t depth_ = 0;  // arrays and objects open at this point
  Form form_ = Form::Object;
  Field pending_ = Field::Other;  // what the object's current key names
  bool skipping_ = false;         // inside the value of a key other than port and token
  std::size_t elements_ = 0;      // of the array form, seen so far
  std::optional<std::uint16_t> port_;
  std::optional<std::string> token_;
};

Step BridgeFileReader::open(Form form) {
  if (depth_ == 0) {
    form_ = form;
  } else if (depth_ == 1) {
    if (Step taken = member(nullptr, nullptr); !taken) return taken;
  }
  ++depth_;
  return {};
}

Step BridgeFileReader::close() {
  --depth_;
  if (depth_ == 1) skipping_ = false;
  return depth_ == 0 ? check_complete() : Step{};
}

// Only members of the top level matter; anything deeper belongs to a skipped value.
Step BridgeFileReader::scalar(const std::uint64_t* number, std::string* text) {
  if (depth_ == 0) return std::unexpected("expected an object or an array");
  if (depth_ > 1) return {};
  skipping_ = false;
  return member(number, text);
}

// A member of the top level, or the start of one: a port, a token or a skipped value.
Step BridgeFileReader::member(const std::uint64_t* number, std::string* text) {
  auto field = next_field();
  if (!field) return std::unexpected(std::move(field.error()));
  if (*field == Field::Port) return set_port(number);
  if (*field == Field::Token) return set_token(text);
  return {};
}

std::expected<BridgeFileReader::Field, std::string> BridgeFileReader::next_field() {
  if (form_ == Form::Object) return pending_;
  switch (elements_++) {
    case 0:
      return Field::Port;
    case 1:
      return Field::Token;
    default:
      return std::unexpected("expected an array of two elements");
  }
}

// Only the unsigned integer event qualifies: the parser reports 8080.0, 8e3 and -0 otherwise.
Step BridgeFileReader::set_port(const std::uint64_t* number) {
  if (number == nullptr || *number > 0xFFFF) {
    return std::unexpected("port must be an integer from 0 to 65535");
  }
  port_ = static_cast<std::uint16_t>(*number);
  return {};
}

Step BridgeFileReader::set_token(std::string* text) {
  if (text == nullptr) return std::unexpected("token must be a string");
  token_ = std::move(*text);
  return {};
}

// A repeated field fails here, before the parser has looked at its value.
Step BridgeFileReader::key(std::string&& key) {
  if (depth_ != 1) return {};
  if (key == "port") {
    if (port_) return std::unexpected("duplicate field `port`");
    pending_ = Field::Port;
  } else if (key == "token") {
    if (token_) return std::unexpected("duplicate field `token`");
    pending_ = Field::Token;
  } else {
    pending_ = Field::Other;
  }
  skipping_ = pending_ == Field::Other;
  return {};
}

Step BridgeFileReader::check_complete() const {
  if (form_ == Form::Array && elements_ != 2) {
    return std::unexpected("expected an array of two elements");
  }
  if (!port_) return std::unexpected("missing field `port`");
  if (!token_) return std::unexpected("missing field `token`");
  return {};
}

}  // namespace

std::optional<std::filesystem::path> bridge_file_path() {
  auto roaming = platform::roaming_app_data_folder();
  if (!roaming) return std::nullopt;
  return *roaming / "VelmoraAgent" / "web-bridge.json";
}

std::expected<BridgeFile, JsonError> parse_bridge_file(std::span<const std::byte> bytes) {
  BridgeFileReader reader;
  if (auto parsed = visit_json(bytes, reader); !parsed) return std::unexpected(parsed.error());
  return std::move(reader).take();
}

namespace {

// A file too large for memory is one that cannot be read, like any other.
std::optional<std::vector<std::byte>> read_into_memory(const std::filesystem::path& path) {
  try {
    auto bytes = platform::read_whole_file(path, MAX_BRIDGE_FILE_SIZE);
    if (bytes) return std::move(*bytes);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return std::nullopt;
}

}  // namespace

std::expected<BridgeFile, BridgeError> read_bridge_file(const std::filesystem::path& path) {
  auto bytes = read_into_memory(path);
  if (!bytes) return std::unexpected(BridgeError::not_connected());
  auto record = parse_bridge_file(*bytes);
  if (!record) return std::unexpected(BridgeError::protocol(record.error().display()));
  return std::move(*record);
}

}  // namespace velmora
