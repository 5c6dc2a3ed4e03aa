// The agent's command line, split again by the system's own parser: one argument, the path; and
// the path in it, the ordinary form of the final path wherever that names the same file.
#include <gtest/gtest.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/command_line-win32.h"
#include "platform/final_path-win32.h"

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

struct FinalPathCase {
  const char* name;
  std::wstring final_path;  // as GetFinalPathNameByHandleW gives it
  std::wstring ordinary;
};

void PrintTo(const FinalPathCase& row, std::ostream* out) {
  *out << row.name;
}

class OrdinaryForm : public testing::TestWithParam<FinalPathCase> {};

TEST_P(OrdinaryForm, DropsTheLongPathPrefixOnlyWhereThePathReadsTheSameWithout) {
  EXPECT_EQ(ordinary_form(GetParam().final_path), GetParam().ordinary);
}

const std::wstring kAgentFolder = L"C:\\Users\\A B\\100% & (x)\\";
const std::wstring kPrefix = L"\\\\?\\";
// MAX_PATH with its terminating null: too long for the ordinary form.
const std::wstring kOf260Characters = [] {
  std::wstring path = of_259_characters();
  return path.insert(3, L"x");
}();

INSTANTIATE_TEST_SUITE_P(
    Agent, OrdinaryForm,
    testing::Values(
        FinalPathCase{"drive", L"\\\\?\\" + kAgentFolder + L"velmora-agent.exe",
                      kAgentFolder + L"velmora-agent.exe"},
        FinalPathCase{"share", L"\\\\?\\UNC\\server\\share\\velmora-agent.exe",
                      L"\\\\server\\share\\velmora-agent.exe"},
        FinalPathCase{"of_259_characters", kPrefix + of_259_characters(), of_259_characters()},
        FinalPathCase{"of_260_characters", kPrefix + kOf260Characters, kPrefix + kOf260Characters},
        FinalPathCase{"a_folder_with_a_trailing_dot", L"\\\\?\\C:\\odd.\\velmora-agent.exe",
                      L"\\\\?\\C:\\odd.\\velmora-agent.exe"},
        FinalPathCase{"a_folder_with_a_trailing_space", L"\\\\?\\C:\\odd \\velmora-agent.exe",
                      L"\\\\?\\C:\\odd \\velmora-agent.exe"},
        FinalPathCase{"a_device_name", L"\\\\?\\C:\\Nul.d\\velmora-agent.exe",
                      L"\\\\?\\C:\\Nul.d\\velmora-agent.exe"},
        FinalPathCase{"a_port_name", L"\\\\?\\C:\\com\u00b9\\velmora-agent.exe",
                      L"\\\\?\\C:\\com\u00b9\\velmora-agent.exe"},
        FinalPathCase{"a_volume", L"\\\\?\\Volume{0}\\velmora-agent.exe",
                      L"\\\\?\\Volume{0}\\velmora-agent.exe"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace velmora::platform::win32
