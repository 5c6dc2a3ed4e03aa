// Helpers shared by the fuzz targets: a broken invariant must stop the run loudly, so that
// libFuzzer keeps the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "byte_stream.h"
#include "errors.h"

namespace velmora::fuzz {

using velmora::as_bytes;

[[noreturn]] inline void fail(std::string_view what) {
  std::fprintf(stderr, "invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

inline void check(bool holds, std::string_view what) {
  if (!holds) fail(what);
}

inline std::span<const std::byte> as_bytes(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const std::byte*>(data), size};
}

// Where a JSON error may point: a line that exists, and a byte of it or its end. A byte that the
// parser stopped at may be the line feed closing the line, which then still counts to it.
inline void check_error_position(std::span<const std::byte> input, const JsonError& error) {
  check(!error.description.empty(), "a JSON error has a description");
  check(error.line >= 1, "error lines count from 1");
  std::size_t line = 1;
  std::size_t line_length = 0;
  for (std::byte b : input) {
    if (line == error.line) ++line_length;
    if (b == std::byte{'\n'}) ++line;
  }
  check(error.line <= line, "the error's line exists");
  check(error.column <= line_length, "the error's column lies within its line");
}

// Strict UTF-8 as RFC 3629 has it: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  while (i < text.size()) {
    unsigned char lead = byte(i);
    std::size_t extra = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      extra = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i - 1 < extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      unsigned char next = byte(i + k);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace velmora::fuzz
