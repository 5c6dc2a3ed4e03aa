// The command line with which the host starts the agent, apart from CreateProcessW so that it
// can be checked against the system's own parser.
#pragma once

#include <string>
#include <string_view>

namespace velmora::platform::win32 {

// `program` as the whole of a command line, quoted, as the C runtime and CommandLineToArgvW
// take the first word: without the quotes a path with spaces would reach the agent as several
// arguments.
std::wstring quoted_command_line(std::wstring_view program);

}  // namespace velmora::platform::win32
