// The strict reader: visit_json over nlohmann's SAX interface (the only file that sees the
// library) and parse_message over it. Errors are worded here, by the library's exception id and
// never by its English texts, so any 3.x release from 3.10 on serves.
#include "json/parse.h"

#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>
#include <vector>

static_assert(NLOHMANN_JSON_VERSION_MAJOR == 3 && NLOHMANN_JSON_VERSION_MINOR >= 10,
              "the SAX interface used here is nlohmann/json 3.10's and later 3.x releases'");

namespace velmora {

// ---- Push parser over nlohmann's SAX interface ----

namespace {

using Json = nlohmann::json;

// How far the lexer has read, and whether it may see non-ASCII bytes in strings unchecked.
struct Cursor {
  std::size_t read = 0;
  bool lenient = false;
};

// Hands the lexer one byte at a time and counts them, so that a refusal from a callback can be
// placed at the last byte read; the lexer reads ahead by one byte at most. While lenient, bytes
// above 7F come as '?': as good as any text inside a string, still an error outside one.
class CursorIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = char;

  CursorIterator(const char* at, Cursor* cursor) : at_(at), cursor_(cursor) {}
  char operator*() const {
    // The lexer takes a NUL byte for the end of the input. Any other control character is
    // lexed as a NUL must be: an error outside a string and inside one alike.
    if (*at_ == '\0') return '\x01';
    bool masked = cursor_->lenient && static_cast<unsigned char>(*at_) >= 0x80;
    return masked ? '?' : *at_;
  }
  CursorIterator& operator++() {
    ++at_;
    ++cursor_->read;
    return *this;
  }
  CursorIterator operator++(int) {
    CursorIterator old = *this;
    ++*this;
    return old;
  }
  friend bool operator==(const CursorIterator& a, const CursorIterator& b) {
    return a.at_ == b.at_;
  }

 private:
  const char* at_;
  Cursor* cursor_;
};

bool is_whitespace(std::byte b) {
  return b == std::byte{' '} || b == std::byte{'\t'} || b == std::byte{'\n'} ||
         b == std::byte{'\r'};
}

// `read` counts the bytes read up to and including the one where the parse stopped; a count
// beyond the input means the parse ran into its end.
JsonError error_at(std::span<const std::byte> input, std::size_t read, std::string description) {
  bool at_end = read > input.size();
  std::size_t before = at_end ? input.size() : (read > 0 ? read - 1 : 0);
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < before; ++i) {
    if (input[i] == std::byte{'\n'}) {
      ++line;
      line_start = i + 1;
    }
  }
  std::size_t column = before - line_start + (at_end || read == 0 ? 0 : 1);
  return JsonError{std::move(description), line, column};
}

// Passes nlohmann's SAX callbacks on to a JsonVisitor and keeps what is needed to place errors.
class SaxAdapter {
 public:
  SaxAdapter(JsonVisitor& visitor, std::span<const std::byte> input, Cursor& cursor)
      : visitor_(visitor), input_(input), cursor_(cursor) {
    cursor_.lenient = !visitor_.strict_utf8();
  }

  bool null() { return scalar(visitor_.null(), false); }
  bool boolean(bool value) { return scalar(visitor_.boolean(value), false); }
  bool number_integer(Json::number_integer_t value) {
    // The lexer gives "-0" here as zero; it is not a negative integer.
    return scalar(value < 0 ? visitor_.negative_integer(value) : visitor_.floating(-0.0), true);
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    return scalar(visitor_.unsigned_integer(value), true);
  }
  bool number_float(Json::number_float_t value, const Json::string_t& /*text*/) {
    return scalar(visitor_.floating(value), true);
  }
  bool string(Json::string_t& value) { return scalar(visitor_.string(std::move(value)), false); }
  bool binary(Json::binary_t& /*value*/) { return refuse("unexpected binary value"); }
  bool start_object(std::size_t /*size*/) { return open(visitor_.start_object(), false); }
  bool key(Json::string_t& key) { return step(visitor_.key(std::move(key))); }
  bool end_object() { return close(visitor_.end_object()); }
  bool start_array(std::size_t /*size*/) { return open(visitor_.start_array(), true); }
  bool end_array() { return close(visitor_.end_array()); }
  bool parse_error(std::size_t position, const std::string& token, const Json::exception& e);

  std::optional<JsonError>& error() { return error_; }
  bool refuse(std::string description) {
    error_ = error_at(input_, cursor_.read, std::move(description));
    return false;
  }

 private:
  bool step(JsonVisitor::Step result) {
    if (!result) return refuse(std::move(result.error()));
    cursor_.lenient = !visitor_.strict_utf8();
    return true;
  }
  bool scalar(JsonVisitor::Step result, bool number);
  bool open(JsonVisitor::Step result, bool array);
  bool close(JsonVisitor::Step result);
  void complete_if_top(std::size_t end);
  std::string describe(std::size_t position, const Json::exception& e) const;

  JsonVisitor& visitor_;
  std::span<const std::byte> input_;
  Cursor& cursor_;
  std::vector<bool> open_arrays_;         // one flag per open container: array or object
  std::optional<std::size_t> value_end_;  // set once the top-level value is complete
  std::optional<JsonError> error_;
};

// A number is known complete only once the lexer has read the byte after it, so its end is one
// byte back, unless the input ended there (and then nothing can trail it).
bool SaxAdapter::scalar(JsonVisitor::Step result, bool number) {
  if (!step(std::move(result))) return false;
  complete_if_top(number && cursor_.read > 0 ? cursor_.read - 1 : cursor_.read);
  return true;
}

bool SaxAdapter::open(JsonVisitor::Step result, bool array) {
  if (!step(std::move(result))) return false;
  open_arrays_.push_back(array);
  return true;
}

bool SaxAdapter::close(JsonVisitor::Step result) {
  if (!step(std::move(result))) return false;
  open_arrays_.pop_back();
  complete_if_top(cursor_.read);
  return true;
}

void SaxAdapter::complete_if_top(std::size_t end) {
  if (open_arrays_.empty()) value_end_ = end;
}

bool SaxAdapter::parse_error(std::size_t position, const std::string& /*token*/,
                             const Json::exception& e) {
  if (value_end_) {
    // The library has lexed some of what follows; report where it begins.
    std::size_t at = *value_end_;
    while (at < input_.size() && is_whitespace(input_[at])) ++at;
    error_ = error_at(input_, at + 1, "trailing characters");
  } else {
    error_ = error_at(input_, position, describe(position, e));
  }
  return false;
}

std::string SaxAdapter::describe(std::size_t position, const Json::exception& e) const {
  constexpr int syntax_error = 101;
  constexpr int number_overflow = 406;
  if (e.id == number_overflow) return "number out of range";
  if (position > input_.size()) return "unexpected end of input";
  return e.id == syntax_error ? "syntax error" : "invalid JSON";
}

}  // namespace

std::expected<void, JsonError> visit_json(std::span<const std::byte> bytes, JsonVisitor& visitor) {
  Cursor cursor;
  SaxAdapter adapter(visitor, bytes, cursor);
  // The library would skip a byte-order mark silently; no JSON text starts with its first byte.
  if (!bytes.empty() && bytes.front() == std::byte{0xEF}) {
    cursor.read = 1;
    adapter.refuse("syntax error");
    return std::unexpected(std::move(*adapter.error()));
  }
  const auto* data = reinterpret_cast<const char*>(bytes.data());
  try {
    CursorIterator first(data, &cursor);
    CursorIterator last(data + bytes.size(), &cursor);
    if (Json::sax_parse(first, last, &adapter, Json::input_format_t::json, true)) return {};
  } catch (const Json::exception&) {
    adapter.refuse("invalid JSON");
  }
  if (!adapter.error()) adapter.refuse("invalid JSON");
  return std::unexpected(std::move(*adapter.error()));
}

// ---- Value tree ----

namespace {

// Builds the tree without recursion; the nesting limit keeps every later walk of it shallow.
class TreeBuilder final : public JsonVisitor {
 public:
  Step null() override { return add(nullptr); }
  Step boolean(bool value) override { return add(value); }
  Step unsigned_integer(std::uint64_t value) override { return add(value); }
  Step negative_integer(std::int64_t value) override { return add(value); }
  Step floating(double value) override { return add(value); }
  Step string(std::string&& value) override { return add(std::move(value)); }
  Step start_object() override { return open(false); }
  Step key(std::string&& key) override {
    open_.back().key = std::move(key);
    return {};
  }
  Step end_object() override { return add(JsonObject(take().members)); }
  Step start_array() override { return open(true); }
  Step end_array() override { return add(take().items); }

  JsonValue result() && { return std::move(root_); }

 private:
  struct Open {
    bool array = false;
    JsonArray items;
    std::vector<JsonObject::Member> members;
    std::string key;
  };

  Step open(bool array) {
    if (open_.size() == MAX_JSON_NESTING) return std::unexpected("recursion limit exceeded");
    open_.emplace_back().array = array;
    return {};
  }
  Open take() {
    Open top = std::move(open_.back());
    open_.pop_back();
    return top;
  }
  // Each value is built where it is stored: moving a finished JsonValue in makes GCC 12 warn of
  // variant members that it wrongly takes for uninitialised.
  template <typename T>
  Step add(T&& value) {
    if (open_.empty()) {
      root_ = JsonValue(std::forward<T>(value));
    } else if (Open& top = open_.back(); top.array) {
      top.items.emplace_back(std::forward<T>(value));
    } else {
      top.members.emplace_back(std::move(top.key), std::forward<T>(value));
    }
    return {};
  }

  std::vector<Open> open_;
  JsonValue root_;
};

}  // namespace

std::expected<JsonValue, JsonError> parse_message(std::span<const std::byte> bytes) {
  TreeBuilder builder;
  if (auto parsed = visit_json(bytes, builder); !parsed) return std::unexpected(parsed.error());
  return std::move(builder).result();
}

}  // namespace velmora
