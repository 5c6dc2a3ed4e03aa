// How a Windows host's exit code reads. Plain data, built on every platform so that the unit tests
// hold it everywhere; only the Win32 run reads exit codes this way.
#include <array>
#include <cstdio>
#include <span>
#include <string>
#include <utility>

#include "system/host_run.h"

namespace velmora::doctor::system {

namespace {

using Name = std::pair<std::uint32_t, const char*>;

// The exceptions that end a process as a crash (ntstatus.h); __fastfail and /GS both end with
// 0xC0000409.
constexpr Name CRASHES[] = {
    {0x80000002, "misaligned data"},
    {0x80000003, "breakpoint"},
    {0xC0000005, "access violation"},
    {0xC0000006, "in-page error"},
    {0xC000001D, "illegal instruction"},
    {0xC0000025, "non-continuable exception"},
    {0xC000008C, "array bounds exceeded"},
    {0xC000008D, "floating-point denormal operand"},
    {0xC000008E, "floating-point division by zero"},
    {0xC000008F, "floating-point inexact result"},
    {0xC0000090, "floating-point invalid operation"},
    {0xC0000091, "floating-point overflow"},
    {0xC0000092, "floating-point stack check"},
    {0xC0000093, "floating-point underflow"},
    {0xC0000094, "integer division by zero"},
    {0xC0000095, "integer overflow"},
    {0xC0000096, "privileged instruction"},
    {0xC00000FD, "stack overflow"},
    {0xC0000374, "heap corruption"},
    {0xC0000409, "stack buffer overrun or fail-fast exit"},
    {0xC0000420, "assertion failure"},
    {0xC0000602, "fail-fast exception"},
};

// Codes a process ends with when it could not start: no crash, but worth naming.
constexpr Name START_FAULTS[] = {
    {0xC0000135, "a DLL it needs was not found"},
    {0xC0000139, "an entry point it needs is missing from a DLL"},
    {0xC0000142, "a DLL failed to initialise"},
};

std::string hex(std::uint32_t code) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "0x%08lX", static_cast<unsigned long>(code));
  return text.data();
}

const char* name_in(std::span<const Name> names, std::uint32_t code) {
  for (const auto& [value, name] : names)
    if (value == code) return name;
  return nullptr;
}

}  // namespace

std::string crash_of(std::uint32_t code) {
  const char* name = name_in(CRASHES, code);
  return name ? std::string(name) + ", " + hex(code) : std::string();
}

std::string status_of(std::uint32_t code) {
  if (code < 0x80000000) return std::to_string(code);
  const char* name = name_in(START_FAULTS, code);
  return name ? hex(code) + ", " + name : hex(code);
}

}  // namespace velmora::doctor::system
