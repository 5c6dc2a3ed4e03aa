// The agent's command line, split again by the system's own parser: one argument, the path.
#include <gtest/gtest.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/command_line-win32.h"

namespace velmora::platform::win32 {
namespace {

std::vector<std::wstring> split_by_the_system(const std::wstring& line) {
  int count = 0;
  LPWSTR* parts = CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> out(parts, parts + (parts ? count : 0));
  LocalFree(parts);
  return out;
}

// MAX_PATH less its terminating NUL, in the per-user install folder.
std::wstring of_259_characters() {
  std::wstring folder = L"C:\\Users\\A B\\AppData\\Local\\Programs\\Velmora Web Host\\";
  std::wstring file = L"\\velmora-agent.exe";
  return folder + std::wstring(259 - folder.size() - file.size(), L'x') + file;
}

struct PathCase {
  const char* name;
  std::wstring program;
};

void PrintTo(const PathCase& row, std::ostream* out) {
  *out << row.name;
}

class QuotedCommandLine : public testing::TestWithParam<PathCase> {};

TEST_P(QuotedCommandLine, SplitsIntoThePathAlone) {
  const std::wstring& program = GetParam().program;
  EXPECT_EQ(split_by_the_system(quoted_command_line(program)), std::vector{program});
}

INSTANTIATE_TEST_SUITE_P(
    Agent, QuotedCommandLine,
    testing::Values(
        PathCase{"spaces",
                 L"C:\\Users\\A B\\AppData\\Local\\Programs\\Velmora Web Host\\"
                 L"velmora-agent.exe"},
        PathCase{"non_ascii", L"C:\\Users\\J\u00f6rg \u5f20\\Velmora Web Host\\velmora-agent.exe"},
        PathCase{"long_prefix", L"\\\\?\\C:\\Program Files\\Velmora Web Host\\velmora-agent.exe"},
        PathCase{"of_259_characters", of_259_characters()},
        PathCase{"backslashes_before_the_end", L"C:\\odd name\\\\"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace velmora::platform::win32
